// Skeinwork: model-driven parsing of binary and text files.
//
// The whole library in one include. Start from TSwRunner (SwRunner.h), which loads a script and
// models files or byte buffers with it; the other headers are the layers it is built on, from
// the core objects and streams up to script files and data extraction.
#pragma once

#include "SwCore.h"
#include "SwHashes.h"
#include "StrConv.h"
#include "HexDump.h"
#include "SwAtomicFile.h"
#include "SwNodes.h"
#include "Simpat.h"
#include "RPNit.h"
#include "SwExpressions.h"
#include "Streamer.h"
#include "BufStream.h"
#include "SwStreamers.h"
#include "SwModelling.h"
#include "SwScript.h"
#include "SwExtract.h"
#include "SwRunner.h"
