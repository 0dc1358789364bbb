// SwCore: the ground every Skeinwork class stands on.
//
// TSwObject is the base of the library's classes: it knows its class name, routes errors either
// to an installed handler or up as exceptions, and tells registered listeners when it is freed.
// ESkeinwork is the root of the library's exceptions; build one with MakeError<E>(format, ...)
// or throw one with SwRaise<E>(format, ...), which apply the translation and exception hooks.
// The unit also holds versions (TSwVersion, TSwVersions: SwVersions.h), the class registry
// (TSwClassList), the shared options record (TSwOptions), tagged event arguments (TSwVarRec) and
// the stream family (TStream and its memory, string, file, restricted and temporary streams:
// SwStream.h). The base is in SwObject.h; this header brings all three.
#pragma once

#include <fmt/printf.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "SwObject.h"
#include "SwStream.h"
#include "SwVersions.h"
