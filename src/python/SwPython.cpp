// The `skeinwork` Python module: scripts, result trees, tree files and expressions.
//
// A result tree stays in its C++ form. Each Python node, slice or children sequence is a small
// handle made when Python touches it: a pointer into the tree and a shared reference to the tree's
// owner (TTreeHolder), so that a node keeps its tree, and a tree its script, alive. Nothing can
// change a tree from Python, so the pointers stay valid as long as the holder lives. Runs and tree
// file reads release the GIL; a script runs one model at a time, so two threads that model with
// one script take turns, while two scripts run at once.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "SwCommandLine.h"
#include "SwCore.h"
#include "SwExpressions.h"
#include "SwModelling.h"
#include "SwNodes.h"
#include "SwRunner.h"
#include "SwScript.h"
#include "SwTreeOutput.h"

namespace py = pybind11;

namespace skeinwork {
namespace {

// ---------------------------------------------------------------------------------------------
// Owners

// A loaded script and the lock that makes its runs take turns.
struct TScriptHolder {
  std::unique_ptr<TSwRunner> Runner;
  std::mutex Running;
};

// What a tree's nodes point into: a run's result (with the script it came from, which the
// result's objects may refer to) or a tree read from a tree file.
struct TTreeHolder {
  std::shared_ptr<TScriptHolder> Script;
  TSwRunResult Result;
  std::unique_ptr<TSwTreeNode> Loaded;
  std::vector<std::string> Warnings;

  TSwTreeNode* Root() const { return Loaded ? Loaded.get() : Result.Root(); }
};
using TTreeRef = std::shared_ptr<const TTreeHolder>;

struct TPyNode {
  TTreeRef Tree;
  TSwTreeNode* Node;
};

struct TPyChildren {
  TTreeRef Tree;
  TSwTreeNode* Node;
};

struct TPyTree {
  TTreeRef Holder;
  py::object Error;  // the error of a failed run whose partial tree this is, or None
};

// Text for Python; bytes that are not UTF-8 (a message quoting binary input) become U+FFFD.
py::str Text(std::string_view text) {
  PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<py::ssize_t>(text.size()), "replace");
  if (!decoded) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(decoded);
}
py::str Text(std::u16string_view text) { return Text(WideToUtf8(text)); }

// The library interns names for the process's life, so each name's Python string is made once.
py::str NameObject(TSwName name) {
  static auto* cache = new std::unordered_map<const WideString*, py::str>();  // outlives the interpreter
  auto [entry, added] = cache->try_emplace(name.Id());
  if (added) entry->second = Text(name.Text());
  return entry->second;
}

py::object NodeObject(const TTreeRef& tree, TSwTreeNode* node) {
  if (!node) return py::none();
  return py::cast(TPyNode{tree, node});
}

// ---------------------------------------------------------------------------------------------
// Values

py::object ErrorObject(const ESkeinwork& error, const std::string& inputName);

// A range of the input: offset and length, and the bytes when the tree still has its data. A
// plain CPython type, as a node's properties are mostly ranges and pybind11's instances cost
// several times more to make.
struct TSlice {
  PyObject_HEAD
  TTreeRef Tree;  // null for a range without data (a tree file's, an expression's)
  const TSwObject* Stream;
  int64_t Offset;
  int64_t Length;
};

PyTypeObject* SliceType = nullptr;  // made when the module loads

TSlice& SliceOf(PyObject* self) { return *reinterpret_cast<TSlice*>(self); }

py::object SliceObject(const TTreeRef& tree, const TSwObject* stream, int64_t offset, int64_t length) {
  PyObject* self = PyType_GenericAlloc(SliceType, 0);
  if (!self) throw py::error_already_set();
  new (&SliceOf(self).Tree) TTreeRef(tree);
  SliceOf(self).Stream = stream;
  SliceOf(self).Offset = offset;
  SliceOf(self).Length = length;
  return py::reinterpret_steal<py::object>(self);
}

void FreeSlice(PyObject* self) {
  SliceOf(self).Tree.~TTreeRef();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* SliceBytes(PyObject* self, PyObject*) {
  const TSlice& slice = SliceOf(self);
  TSwmSlicer* slicer = slice.Tree ? slice.Tree->Result.Slicer() : nullptr;
  TBufStream* cache = slicer ? slicer->Registered(slice.Stream) : nullptr;
  if (!cache) {
    PyErr_SetString(PyExc_ValueError, "this range has no data to read: its tree was read from a tree file");
    return nullptr;
  }
  try {
    const RawByteString bytes = cache->ReadAt(slice.Offset, slice.Length);
    return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
  } catch (const ESkeinwork& error) {  // the data file changed under the tree, say
    py::object exception = ErrorObject(error, "");
    PyErr_SetObject(exception.get_type().ptr(), exception.ptr());
    return nullptr;
  }
}

PyObject* SliceOffset(PyObject* self, void*) { return PyLong_FromLongLong(SliceOf(self).Offset); }
PyObject* SliceLength(PyObject* self, void*) { return PyLong_FromLongLong(SliceOf(self).Length); }
PyObject* SliceEnd(PyObject* self, void*) { return PyLong_FromLongLong(SliceOf(self).Offset + SliceOf(self).Length); }

PyObject* SliceRepr(PyObject* self) {
  const std::string text = "Slice(offset=" + std::to_string(SliceOf(self).Offset) +
                           ", length=" + std::to_string(SliceOf(self).Length) + ")";
  return PyUnicode_FromString(text.c_str());
}

Py_hash_t SliceHash(PyObject* self) {
  py::tuple key = py::make_tuple(SliceOf(self).Offset, SliceOf(self).Length);
  return PyObject_Hash(key.ptr());
}

// Slices are equal when they cover the same range.
PyObject* CompareSlices(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, SliceType)) Py_RETURN_NOTIMPLEMENTED;
  const bool same = SliceOf(self).Offset == SliceOf(other).Offset && SliceOf(self).Length == SliceOf(other).Length;
  return PyBool_FromLong(same == (op == Py_EQ));
}

PyType_Spec& SliceSpec() {
  static PyGetSetDef fields[] = {
      {"offset", &SliceOffset, nullptr, "Where the range starts.", nullptr},
      {"length", &SliceLength, nullptr, "How many bytes it covers.", nullptr},
      {"end", &SliceEnd, nullptr, "Where it ends: offset + length.", nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr}};
  static PyMethodDef methods[] = {
      {"bytes", &SliceBytes, METH_NOARGS, "The bytes of the range (not for a tree read from a tree file)."},
      {nullptr, nullptr, 0, nullptr}};
  static PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(&FreeSlice)},
                                {Py_tp_repr, reinterpret_cast<void*>(&SliceRepr)},
                                {Py_tp_hash, reinterpret_cast<void*>(&SliceHash)},
                                {Py_tp_richcompare, reinterpret_cast<void*>(&CompareSlices)},
                                {Py_tp_getset, fields},
                                {Py_tp_methods, methods},
                                {Py_tp_doc, const_cast<char*>("A range of the input a node covers.")},
                                {0, nullptr}};
  static PyType_Spec spec{"skeinwork.Slice", sizeof(TSlice), 0, Py_TPFLAGS_DEFAULT, slots};
  return spec;
}

py::object ValueObject(const TTreeRef& tree, const TSwValue& value) {
  if (value.IsSlice()) return SliceObject(tree, value.Obj, value.Int, static_cast<int64_t>(value.Frac));
  if (SwIsRangeValue(value)) return SliceObject(nullptr, nullptr, value.Int, static_cast<int64_t>(value.Frac));
  // A value holds one datum in several forms; the first of these is the one Python gets.
  if (value.Has(ltStr)) return Text(value.Text());
  if (value.Has(ltRaw)) return py::bytes(value.Raw());
  if (value.Has(ltBool)) return py::bool_(value.Bool);
  if (value.Has(ltInt)) return py::int_(value.Int);
  if (value.Has(ltFrac)) return py::float_(value.Frac);
  if (value.Has(ltObj)) return Text(value.Obj ? value.Obj->ClassName() : std::string());
  return py::none();
}

py::dict PropsObject(const TPyNode& node) {
  py::dict props;
  const int count = node.Node->PropertyCount();
  for (int i = 0; i < count; ++i)
    props[NameObject(node.Node->PropertyName(i))] = ValueObject(node.Tree, node.Node->PropertyValue(i));
  return props;
}

// ---------------------------------------------------------------------------------------------
// Nodes

// The path from the root that finds this node again: "name" for a node alone of its name among
// its siblings, "name[k]" for the (k+1)-th of several.
std::string NodePath(TSwTreeNode* node) {
  std::vector<std::string> segments;
  for (; node && !node->IsRoot(); node = node->Parent()) {
    std::string segment = WideToUtf8(node->Name());
    TSwTreeNode* parent = node->Parent();
    if (parent->CountChildren(node->Name()) > 1) {
      int sameName = 0;
      for (int i = 0; parent->Child(i) != node; ++i) sameName += parent->Child(i)->NameId() == node->NameId();
      segment += "[" + std::to_string(sameName) + "]";
    }
    segments.push_back(std::move(segment));
  }
  std::string path;
  for (auto it = segments.rbegin(); it != segments.rend(); ++it) path += (path.empty() ? "" : "\\") + *it;
  return path;
}

std::vector<TSwTreeNode*> FindNodes(const TPyNode& node, const std::string& path, bool firstOnly) {
  TSwNodeByNodeFinder finder(node.Node, Utf8ToWide(path));
  std::vector<TSwTreeNode*> found;
  while (TSwTreeNode* next = finder.Next()) {
    found.push_back(next);
    if (firstOnly) break;
  }
  return found;
}

TSwTreeNode* ChildAt(const TPyChildren& children, py::ssize_t index) {
  const py::ssize_t count = children.Node->ChildCount();
  if (index < 0) index += count;
  if (index < 0 || index >= count) throw py::index_error("child index out of range");
  return children.Node->Child(static_cast<int>(index));
}

// Walks a subtree depth first in child order without recursion, or a node's children. A plain
// CPython type: its end is a null answer without an exception, where a pybind11 iterator throws a
// C++ exception at the end of every loop, which costs more than the loop over a leaf's children.
struct TNodeIterator {
  PyObject_HEAD
  TTreeRef Tree;
  std::vector<std::pair<TSwTreeNode*, int>> Stack;  // a node and the next child to visit
  TSwTreeNode* First;                                // the start node, before its children
  bool Descends;
};

PyTypeObject* NodeIteratorType = nullptr;  // made when the module loads

PyObject* NextNode(PyObject* self) {
  auto& walk = *reinterpret_cast<TNodeIterator*>(self);
  try {
    if (walk.First) return NodeObject(walk.Tree, std::exchange(walk.First, nullptr)).release().ptr();
    while (!walk.Stack.empty()) {
      auto& [node, next] = walk.Stack.back();
      if (next == node->ChildCount()) {
        walk.Stack.pop_back();
        continue;
      }
      TSwTreeNode* child = node->Child(next++);
      if (walk.Descends && child->ChildCount()) walk.Stack.emplace_back(child, 0);
      return NodeObject(walk.Tree, child).release().ptr();
    }
    return nullptr;
  } catch (py::error_already_set& error) {
    error.restore();
    return nullptr;
  }
}

void FreeNodeIterator(PyObject* self) {
  auto* walk = reinterpret_cast<TNodeIterator*>(self);
  walk->Tree.~TTreeRef();
  walk->Stack.~vector();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Spec& NodeIteratorSpec() {
  static PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(&FreeNodeIterator)},
                                {Py_tp_iter, reinterpret_cast<void*>(&PyObject_SelfIter)},
                                {Py_tp_iternext, reinterpret_cast<void*>(&NextNode)},
                                {0, nullptr}};
  static PyType_Spec spec{"skeinwork.NodeIterator", sizeof(TNodeIterator), 0, Py_TPFLAGS_DEFAULT, slots};
  return spec;
}

// A plain CPython type made from its spec, kept by the module under its name.
PyTypeObject* MakeType(py::module_& module, const char* name, PyType_Spec& spec) {
  PyObject* type = PyType_FromSpec(&spec);
  if (!type) throw py::error_already_set();
  module.attr(name) = py::reinterpret_steal<py::object>(type);
  return reinterpret_cast<PyTypeObject*>(type);
}

// The node and its descendants, or (not descending) the node's children.
py::object NodeIterator(const TTreeRef& tree, TSwTreeNode* node, bool descends) {
  PyObject* self = PyType_GenericAlloc(NodeIteratorType, 0);
  if (!self) throw py::error_already_set();
  auto* walk = reinterpret_cast<TNodeIterator*>(self);
  new (&walk->Tree) TTreeRef(tree);
  new (&walk->Stack) std::vector<std::pair<TSwTreeNode*, int>>();
  walk->First = descends ? node : nullptr;
  walk->Descends = descends;
  if (node->ChildCount()) walk->Stack.emplace_back(node, 0);
  return py::reinterpret_steal<py::object>(self);
}

// ---------------------------------------------------------------------------------------------
// Errors

// skeinwork.Error and its subclasses, made when the module loads. Never freed: the interpreter
// is gone by the time static objects are destroyed.
struct TErrorClasses {
  py::object Error, Mismatch, Script, TreeFile, File;
};
TErrorClasses& ErrorClasses() {
  static auto* classes = new TErrorClasses();
  return *classes;
}

py::object ErrorClassOf(const ESkeinwork& error) {
  const TErrorClasses& classes = ErrorClasses();
  if (dynamic_cast<const EStreamError*>(&error)) return classes.File;
  if (dynamic_cast<const ESwmMismatch*>(&error) || dynamic_cast<const ESwmInputLeft*>(&error))
    return classes.Mismatch;
  if (dynamic_cast<const ESwStreamer*>(&error)) return classes.TreeFile;
  if (dynamic_cast<const ESwScript*>(&error) || dynamic_cast<const ESwLaterScriptVersion*>(&error) ||
      dynamic_cast<const ESwmCompiling*>(&error))
    return classes.Script;
  return classes.Error;
}

// A Python exception of the class with the readable name, the message and the error as the
// program reports it; offset, excerpt and tree stay None.
py::object ExceptionObject(const py::object& type, const std::string& className, const std::string& message,
                           const std::string& report) {
  const std::string name = SwReadableClassName(className);
  py::object exception = type(Text(name + ": " + message));
  exception.attr("name") = Text(name);
  exception.attr("class_name") = Text(className);
  exception.attr("message") = Text(message);
  exception.attr("report") = Text(report);
  exception.attr("offset") = py::none();
  exception.attr("excerpt") = py::none();
  exception.attr("tree") = py::none();
  return exception;
}

// The Python exception for a library error, with the offset where modelling stopped and the hex
// excerpt around it when the error has them.
py::object ErrorObject(const ESkeinwork& error, const std::string& inputName) {
  std::ostringstream report;
  SwWriteErrorReport(report, error, inputName);
  const std::string text = report.str();
  py::object exception = ExceptionObject(ErrorClassOf(error), error.ClassName(), error.Message(), text);
  if (TSwMismatchInfo* info = SwMismatchInfoOf(error); info && info->Current.Source != u"<unknown>") {
    exception.attr("offset") = info->Current.Position;
    // The report's first line is the name and message; the excerpts follow.
    const std::string source = inputName.empty() || info->Current.Source != u"<BufStream>"
                                   ? WideToUtf8(info->Current.Source)
                                   : inputName;
    const size_t start = text.find("\n" + source + ", offset ");
    if (start != std::string::npos) exception.attr("excerpt") = Text(text.substr(start + 1));
  }
  return exception;
}

[[noreturn]] void RaiseError(py::object exception) {
  PyErr_SetObject(exception.get_type().ptr(), exception.ptr());
  throw py::error_already_set();
}

py::object MakeErrorClass(py::module_& module, const char* name, py::handle base, const char* doc) {
  py::object type = py::reinterpret_steal<py::object>(
      PyErr_NewExceptionWithDoc((std::string("skeinwork.") + name).c_str(), doc, base.ptr(), nullptr));
  if (!type) throw py::error_already_set();
  module.attr(name) = type;
  return type;
}

// ---------------------------------------------------------------------------------------------
// Inputs and runs

std::string PathText(const py::handle& path) {
  py::object text = py::module_::import("os").attr("fsdecode")(path);
  return text.cast<std::string>();
}

bool IsPath(const py::handle& object) {
  return py::isinstance<py::str>(object) || py::hasattr(object, "__fspath__");
}

TSwFileAccess FileAccessOf(const py::object& allow) {
  if (py::isinstance<py::str>(allow)) {
    if (allow.cast<std::string>() != "read")
      throw py::value_error("allow_file_access is True, False or \"read\"");
    return {TSwFileAccessMode::Allowed, TSwFileAccessMode::Refused, {}};
  }
  return allow.cast<bool>() ? TSwFileAccess{} : TSwFileAccess::Refusing();
}

// Keeps a run's warnings (WARN nodes) and lets the run go on, as the program does.
struct TWarningCollector {
  std::vector<std::string>* Warnings;
  void Handle(TSwObject*, const ESkeinwork& error) {
    if (!dynamic_cast<const ESwmWarning*>(&error)) error.Raise();
    Warnings->push_back(error.Message());
  }
};

// Gives the compiler an error handler while it lives.
class TErrorHandlerScope {
 public:
  TErrorHandlerScope(TSwmCompiler& compiler, TSwErrorHandler handler) : mCompiler(compiler) {
    compiler.SetErrorHandler(handler);
  }
  ~TErrorHandlerScope() { mCompiler.SetErrorHandler({}); }
  TErrorHandlerScope(const TErrorHandlerScope&) = delete;
  TErrorHandlerScope& operator=(const TErrorHandlerScope&) = delete;

 private:
  TSwmCompiler& mCompiler;
};

TPyTree RunModel(const std::shared_ptr<TScriptHolder>& script, const py::object& data, bool partial,
                 const py::object& allowFileAccess, int64_t maxNodes) {
  auto holder = std::make_shared<TTreeHolder>();
  holder->Script = script;
  TSwFileAccess access = FileAccessOf(allowFileAccess);
  std::optional<std::string> path;
  py::object bytes;
  if (IsPath(data)) {
    path = PathText(data);
  } else {
    // bytes as they are; a file object's content; a copy of any other bytes-like object
    bytes = py::hasattr(data, "read") ? data.attr("read")() : data;
    if (!py::isinstance<py::bytes>(bytes)) bytes = py::reinterpret_steal<py::object>(PyBytes_FromObject(bytes.ptr()));
    if (!bytes) throw py::error_already_set();
  }
  const std::string_view view = path ? std::string_view() : std::string_view(py::reinterpret_borrow<py::bytes>(bytes));
  {
    py::gil_scoped_release released;  // `bytes` is immutable and held, so its buffer stays put
    std::lock_guard<std::mutex> lock(script->Running);
    TSwRunner& runner = *script->Runner;
    runner.Settings.KeepPartialResult = partial;
    runner.Settings.MaxResultNodes = maxNodes;
    runner.Compiler().FileAccess = access;
    TWarningCollector warnings{&holder->Warnings};
    TErrorHandlerScope handler(runner.Compiler(), TSwErrorHandler::Of<&TWarningCollector::Handle>(&warnings));
    holder->Result = path ? runner.ModelFile(*path) : runner.ModelBytes(view);
  }
  TPyTree tree{holder, py::none()};
  if (const ESkeinwork* error = holder->Result.Error()) {
    py::object exception = ErrorObject(*error, path.value_or("<data>"));  // names the input in excerpts
    if (!partial || !holder->Result.Root()) RaiseError(exception);
    exception.attr("tree") = py::cast(tree);
    tree.Error = exception;
  }
  return tree;
}

TPyTree LoadTree(const py::object& pathObject) {
  const std::string path = PathText(pathObject);
  auto holder = std::make_shared<TTreeHolder>();
  std::string className, message;  // of an error of the tree file container, which has a root of its own
  {
    py::gil_scoped_release released;
    std::unique_ptr<TStream> file = SwOpenForReading(path);
    try {
      holder->Loaded = TSwBinaryStreamer().Read(*file, Utf8ToWide(path));
    } catch (const ESkeinwork&) {
      throw;
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception& error) {
      className = SwClassNameOf(typeid(error));
      message = error.what();
    }
  }
  if (!className.empty()) {
    const std::string report = SwReadableClassName(className) + ": " + message + "\n";
    RaiseError(ExceptionObject(ErrorClasses().TreeFile, className, message, report));
  }
  return TPyTree{holder, py::none()};
}

// Evaluates an expression as the program's `eval` does: over the bytes given (read from the
// offset on), with LF line breaks and UTF-8 text; being the caller's, it may use files.
py::object Evaluate(const std::string& text, const py::bytes& data, int64_t offset) {
  const std::string_view bytes(data);
  if (offset < 0 || offset > static_cast<int64_t>(bytes.size()))
    throw py::value_error("offset " + std::to_string(offset) + " lies outside the data (0 to " +
                          std::to_string(bytes.size()) + ")");
  TStringStream input(bytes);
  TBufStream buffered(&input, false);
  buffered.SetPosition(offset);
  TSwExpression expression(Utf8ToWide(text), nullptr);
  TSwOptions options;
  options.Eoln = u"\n";
  options.Codepage = 65001;  // UTF-8
  expression.SetOptions(options);
  expression.SetInputStream(&buffered);
  TSwValue value;
  {
    py::gil_scoped_release released;
    TSwWorkMeter meter(nullptr);
    value = expression.Evaluate().Value;
  }
  // The value is read while the expression and its streams live; a range of them has no data.
  if (value.IsSlice()) value.Obj = nullptr;
  return ValueObject(nullptr, value);
}

}  // namespace
}  // namespace skeinwork

using namespace skeinwork;

PYBIND11_MODULE(skeinwork, module) {
  module.doc() = "Model-driven parsing of binary and text files: scripts, result trees, tree files, expressions.";
  module.attr("__version__") = SwVersionText(SwLibraryVersion);

  TErrorClasses& errors = ErrorClasses();
  errors.Error = MakeErrorClass(module, "Error", PyExc_Exception,
                                "An error of the library: name, class_name, message, offset, excerpt, report, tree.");
  errors.Mismatch = MakeErrorClass(module, "MismatchError", errors.Error, "The data did not fit the model.");
  errors.Script = MakeErrorClass(module, "ScriptError", errors.Error, "The script or its model is broken.");
  errors.TreeFile = MakeErrorClass(module, "TreeFileError", errors.Error, "A tree file could not be read.");
  errors.File = MakeErrorClass(module, "FileError", errors.Error, "A file could not be opened or read.");
  py::register_exception_translator([](std::exception_ptr raised) {
    try {
      if (raised) std::rethrow_exception(raised);
    } catch (const ESkeinwork& error) {
      py::object exception = ErrorObject(error, "");
      PyErr_SetObject(exception.get_type().ptr(), exception.ptr());
    }
  });

  SliceType = MakeType(module, "Slice", SliceSpec());
  NodeIteratorType = MakeType(module, "NodeIterator", NodeIteratorSpec());

  py::class_<TPyChildren>(module, "Children", "The children of a node: a sequence.")
      .def("__len__", [](const TPyChildren& c) { return c.Node->ChildCount(); })
      .def("__getitem__", [](const TPyChildren& c, py::ssize_t i) { return NodeObject(c.Tree, ChildAt(c, i)); })
      .def("__getitem__", [](const TPyChildren& c, const py::slice& range) {
        size_t start, stop, step, length;
        if (!range.compute(c.Node->ChildCount(), &start, &stop, &step, &length)) throw py::error_already_set();
        py::list nodes(length);
        for (size_t i = 0; i < length; ++i) nodes[i] = NodeObject(c.Tree, c.Node->Child(static_cast<int>(start + i * step)));
        return nodes;
      })
      .def("__iter__", [](const TPyChildren& c) { return NodeIterator(c.Tree, c.Node, false); })
      .def("__repr__", [](const TPyChildren& c) { return "<Children of " + std::to_string(c.Node->ChildCount()) + ">"; });

  py::class_<TPyNode>(module, "Node", "A node of a tree: name, children, properties.")
      .def_property_readonly("name", [](const TPyNode& n) { return NameObject(n.Node->NameId()); })
      .def_property_readonly("children", [](const TPyNode& n) { return TPyChildren{n.Tree, n.Node}; })
      .def_property_readonly("parent", [](const TPyNode& n) { return NodeObject(n.Tree, n.Node->Parent()); })
      .def_property_readonly("path", [](const TPyNode& n) { return Text(NodePath(n.Node)); })
      .def_property_readonly("props", &PropsObject)
      .def("find", [](const TPyNode& n, const std::string& path) {
        std::vector<TSwTreeNode*> found = FindNodes(n, path, true);
        return found.empty() ? py::none() : NodeObject(n.Tree, found.front());
      }, py::arg("path"), "The first node the path names, or None.")
      .def("find_all", [](const TPyNode& n, const std::string& path) {
        py::list nodes;
        for (TSwTreeNode* node : FindNodes(n, path, false)) nodes.append(NodeObject(n.Tree, node));
        return nodes;
      }, py::arg("path"), "Every node the path names, in tree order.")
      .def("__getitem__", [](const TPyNode& n, const std::string& path) {
        std::vector<TSwTreeNode*> found = FindNodes(n, path, true);
        if (found.empty()) throw py::key_error(path);
        return NodeObject(n.Tree, found.front());
      })
      .def("walk", [](const TPyNode& n) { return NodeIterator(n.Tree, n.Node, true); },
           "The node and all its descendants, depth first in child order.")
      .def("__eq__", [](const TPyNode& a, const TPyNode& b) { return a.Node == b.Node; })
      .def("__hash__", [](const TPyNode& n) { return std::hash<const void*>()(n.Node); })
      .def("__repr__", [](const TPyNode& n) {
        return "<Node '" + WideToUtf8(n.Node->Name()) + "' with " + std::to_string(n.Node->ChildCount()) + " children>";
      });

  py::class_<TPyTree>(module, "Tree", "A result tree, or a tree read from a tree file.")
      .def_property_readonly("root", [](const TPyTree& t) { return NodeObject(t.Holder, t.Holder->Root()); })
      .def_property_readonly("error", [](const TPyTree& t) { return t.Error; },
                             "The error of a failed run whose partial tree this is; None after success.")
      .def_property_readonly("ok", [](const TPyTree& t) { return t.Error.is_none(); })
      .def_property_readonly("warnings", [](const TPyTree& t) { return t.Holder->Warnings; })
      .def("walk", [](const TPyTree& t) { return NodeIterator(t.Holder, t.Holder->Root(), true); },
           "Every node, depth first in child order.")
      .def("__len__", [](const TPyTree& t) { return SwCountNodes(t.Holder->Root()); });

  py::class_<TScriptHolder, std::shared_ptr<TScriptHolder>>(module, "Script", "A loaded script with its compiled model.")
      .def(py::init([](const py::object& path) {
             auto script = std::make_shared<TScriptHolder>();
             const std::string text = PathText(path);
             py::gil_scoped_release released;
             script->Runner = TSwRunner::Load(text);
             return script;
           }),
           py::arg("path"))
      .def("model", &RunModel, py::arg("data"), py::arg("partial") = false, py::arg("allow_file_access") = false,
           py::arg("max_nodes") = 0,
           "Models a file path, bytes or a readable binary file object; answers a Tree.");

  module.def("load_tree", &LoadTree, py::arg("path"), "Reads a tree file (.swt).");
  module.def("eval", &Evaluate, py::arg("expr"), py::arg("data") = py::bytes(), py::arg("offset") = 0,
             "Evaluates a model expression over the data's bytes from the offset on.");
}
