// Models written in the test programs, read and compiled as a script's model is.
#pragma once

#include <memory>
#include <string>

#include "SwModelling.h"
#include "SwTestSupport.h"

namespace skeinwork {

// The description tree of a model text in UTF-8; its items name `source` as their file.
inline std::unique_ptr<TSwTreeNode> ReadModel(const std::string& text, const WideString& source = u"t") {
  TSwmNativeStreamer reader;
  reader.Options.Codepage = 65001;
  TStringStream stream(text);
  return reader.Read(stream, source);
}

inline std::unique_ptr<TSwmCompiler> CompileModel(const std::string& text) {
  auto description = ReadModel(text);
  auto compiler = std::make_unique<TSwmCompiler>();
  compiler->Compile(description.get());
  compiler->SetCurrentDescription(nullptr);
  return compiler;
}

// What the error of a run kept of its result, or null when it kept nothing.
inline TSwmPartialResult* PartialResultOf(const ESkeinwork& error) {
  auto* result = dynamic_cast<TSwmPartialResult*>(error.Object());
  return result && result->Slicer ? result : nullptr;
}

}  // namespace skeinwork
