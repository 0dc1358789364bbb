// SwModelling: the modelling engine; the unit's public header.
//
// A model is indented text, one item per line. The model text readers (SwmTextReader.h) turn it
// into a model description tree. Start from TSwmNativeStreamer to read a model text, or from
// SwmReadBuiltinModel to read one of the two models the library carries (SWMMODEL, the model
// language; SWMSCRIPT, the script file format). TSwmCompiler (SwmCompiler.h) compiles a
// description tree into numbered model nodes (resolving inheritance and merges) and runs it over
// input with Modell (SwmRun.h), which returns a TSwmSlicer (SwmSlicer.h) that owns the result
// tree. SwmMismatchInfo.h keeps the input around a mismatch for reports.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "BufStream.h"
#include "RPNit.h"
#include "SwCore.h"
#include "SwExpressions.h"
#include "SwNodes.h"
#include "SwStreamers.h"
#include "SwmCompiler.h"
#include "SwmMismatchInfo.h"
#include "SwmRun.h"
#include "SwmSlicer.h"
#include "SwmTextReader.h"
