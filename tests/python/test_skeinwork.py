"""The skeinwork module as a Python caller sees it, checked against the program's own output."""
import gc
import io
import json
import os
import pathlib
import subprocess
import sys
import threading

import pytest

import skeinwork

PROGRAM = os.environ["SKEINWORK_PROGRAM"]
EXAMPLES = pathlib.Path(os.environ["SKEINWORK_EXAMPLES"])
SAMPLES = [("riff-wav.sw", "sample.wav"), ("png.sw", "sample.png"), ("bmp.sw", "sample.bmp"),
           ("csv.sw", "sample.csv"), ("ini.sw", "sample.ini")]
HEADER = "Skeinwork 0.79\n\n== Model ==\n"


def program(*args):
    return subprocess.run([PROGRAM, *map(str, args)], capture_output=True, check=True).stdout


def json_value(value):
    """The program's JSON form of a Python property value, as far as Python has it."""
    if isinstance(value, skeinwork.Slice):
        return {"offset": value.offset, "length": value.length}
    if isinstance(value, bool):
        return {"bool": value}
    if isinstance(value, bytes):
        return {"raw": value.hex().upper()}
    return {{str: "str", int: "int", float: "frac"}[type(value)]: value}


def same_as_json(node, expected):
    """Whether a Python node is the program's JSON node; each value in one of its forms."""
    props = node.props
    if node.name != expected["name"] or list(props) != list(expected["props"]):
        return False
    for name, value in props.items():
        form = json_value(value)
        if any(expected["props"][name].get(key) != item for key, item in form.items()):
            return False
    return len(node.children) == len(expected["children"]) and all(
        same_as_json(child, want) for child, want in zip(node.children, expected["children"]))


def png():
    return skeinwork.Script(EXAMPLES / "png.sw").model(EXAMPLES / "sample.png")


# Each example once, each form of input once: the form does not depend on the format.
@pytest.mark.parametrize("script,data,given_as", [
    (script, data, given_as) for (script, data), given_as in zip(SAMPLES, ["path", "str", "bytes", "file", "bytearray"])])
def test_examples_give_the_programs_trees(script, data, given_as):
    path = EXAMPLES / data
    argument = {"path": lambda: path, "str": lambda: str(path), "bytes": path.read_bytes,
                "file": lambda: io.BytesIO(path.read_bytes()), "bytearray": lambda: bytearray(path.read_bytes())}
    tree = skeinwork.Script(EXAMPLES / script).model(argument[given_as]())
    assert tree.ok and tree.error is None
    assert same_as_json(tree.root, json.loads(program("model", "--json", EXAMPLES / script, path)))
    assert len(tree) == sum(1 for _ in tree.walk())


def test_nodes_children_and_paths():
    root = png().root
    chunks = root["chunks"]
    assert [child.name for child in root.children] == ["signature", "chunks"]
    assert chunks.parent == root and root.parent is None
    types = [chunk["type"].props["start"].bytes() for chunk in chunks.children]
    assert types == [node.props["start"].bytes() for node in root.find_all("chunks\\chunk\\type")]
    assert types[0] == b"IHDR" and types[-1] == b"IEND"
    assert chunks.children[-1] == chunks.children[len(types) - 1]
    assert [c.path for c in chunks.children[1:3]] == ["chunks\\chunk[1]", "chunks\\chunk[2]"]
    assert all(root.find(node.path) == node for node in root.walk())
    assert root.find("chunks\\nothing") is None and root.find_all("nothing") == []
    with pytest.raises(KeyError):
        root["nothing"]
    with pytest.raises(IndexError):
        chunks.children[len(types)]
    first = chunks.children[0]
    del root, chunks
    gc.collect()
    assert first["type"].props["start"].bytes() == b"IHDR"  # a node outlives the tree's other handles


@pytest.mark.parametrize("path,prop,offset,length,data", [
    ("signature", "start", 0, 8, b"\x89PNG\r\n\x1a\n"),
    ("signature", "inner", 8, 0, b""),
    ("chunks\\chunk[0]\\data", "startGlobal", 16, 13, bytes.fromhex("00000002000000020802000000")),
])
def test_slices_read_their_bytes(path, prop, offset, length, data):
    value = png().root[path].props[prop]
    assert (value.offset, value.length, value.end) == (offset, length, offset + length)
    assert value.bytes() == data
    assert repr(value) == f"Slice(offset={offset}, length={length})"


@pytest.mark.parametrize("expr,data,offset,value", [
    ("2 3 +", b"", 0, 5), ("'AB'", b"", 0, "AB"), ("'AB' toraw", b"", 0, b"AB"), ("1 2 <", b"", 0, True),
    ("7 2 /", b"", 0, 3.5), ("'AB' toraw toint", b"", 0, 0x4241), ("offset", b"xyz", 2, 2),
    ("'yz' cmp_eq", b"xyz", 1, True),
])
def test_eval_gives_each_value_type(expr, data, offset, value):
    result = skeinwork.eval(expr, data, offset)
    assert result == value and type(result) is type(value)
    with pytest.raises(ValueError, match="outside"):
        skeinwork.eval(expr, data, len(data) + 1)


def error_of(action):
    with pytest.raises(skeinwork.Error) as caught:
        action()
    return caught.value


@pytest.mark.parametrize("action,kind,name,message", [
    (lambda tmp: skeinwork.Script(tmp / "none.sw"), skeinwork.FileError, "FOpen Error", "none.sw"),
    (lambda tmp: skeinwork.Script(EXAMPLES / "png.sw").model(tmp / "none"), skeinwork.FileError, "FOpen Error", "none"),
    (lambda tmp: skeinwork.Script(tmp / "condition.sw"), skeinwork.ScriptError, "Unknown Condition", "'@@ zz'"),
    (lambda tmp: skeinwork.Script(tmp / "sections.sw"), skeinwork.ScriptError, "Duplicated Section", "'Model'"),
    (lambda tmp: skeinwork.Script(tmp / "version.sw"), skeinwork.ScriptError, "Later Script Version", "v9.79"),
    (lambda tmp: skeinwork.load_tree(EXAMPLES / "sample.png"), skeinwork.TreeFileError, "Streamer Bad Signature", "\ufffdPNG"),
    (lambda tmp: skeinwork.load_tree(tmp / "cut.swt"), skeinwork.TreeFileError, None, ""),
    (lambda tmp: skeinwork.Script(tmp / "function.sw").model(b""), skeinwork.Error, "Unknown Expr Function", "'nosuch'"),
    (lambda tmp: skeinwork.eval("1 +"), skeinwork.Error, "Wrong Top Stack Value Kind", ""),
])
def test_errors_are_one_hierarchy(tmp_path, action, kind, name, message):
    (tmp_path / "condition.sw").write_text(HEADER + '1 "x" @@ zz\n')
    (tmp_path / "sections.sw").write_text(HEADER + "== Model ==\n")
    (tmp_path / "version.sw").write_text(HEADER.replace("0.79", "9.79") + '1 "x"\n')
    (tmp_path / "function.sw").write_text(HEADER + '1 "x" ? 1 nosuch\n')
    program("save", EXAMPLES / "png.sw", EXAMPLES / "sample.png", tmp_path / "whole.swt")
    (tmp_path / "cut.swt").write_bytes((tmp_path / "whole.swt").read_bytes()[:-9])
    error = error_of(lambda: action(tmp_path))
    assert type(error) is kind
    assert error.message and message in error.message and str(error) == f"{error.name}: {error.message}"
    assert name is None or error.name == name
    assert error.offset is None and error.excerpt is None and error.tree is None


FAIL_WARN = HEADER + '1 "magic" = AB\n2 "kind" =\n  "known" % [123]\n  WARN "odd kind" = 9\n  FAIL "unknown kind" % ANY\n'


@pytest.mark.parametrize("data,limit,warnings,error", [
    (b"AB9", 0, ["odd kind (TSwmWarn node message), input: @3 <eof>."], None),
    (b"AB7", 0, [], "Error"),
    (b"AB9", 1, [], "Result Node Limit"),
])
def test_warnings_go_on_and_failures_stop(tmp_path, data, limit, warnings, error):
    (tmp_path / "fail.sw").write_text(FAIL_WARN)
    script = skeinwork.Script(tmp_path / "fail.sw")
    if error:
        assert error_of(lambda: script.model(data, max_nodes=limit)).name == error
    else:
        assert script.model(data, max_nodes=limit).warnings == warnings


def test_a_mismatch_carries_offset_excerpt_and_with_partial_the_tree():
    script = skeinwork.Script(EXAMPLES / "png.sw")
    error = error_of(lambda: script.model(EXAMPLES / "sample.wav"))
    assert type(error) is skeinwork.MismatchError and issubclass(skeinwork.MismatchError, skeinwork.Error)
    assert error.offset == 0 and "-- HERE --" in error.excerpt and "52 49 46 46" in error.excerpt
    assert str(EXAMPLES / "sample.wav") in error.excerpt
    assert error.report.startswith(str(error).split("\n")[0].split(", input: ")[0])

    cut = (EXAMPLES / "sample.png").read_bytes()[:40]
    with pytest.raises(skeinwork.MismatchError):
        script.model(cut)
    tree = script.model(cut, partial=True)
    assert not tree.ok and isinstance(tree.error, skeinwork.MismatchError) and tree.error.tree.root == tree.root
    assert tree.error.offset == 37 and tree.error.excerpt.startswith("<data>, offset 0025h (37) of 40 bytes:")
    assert tree.root["signature"].props["start"].bytes().startswith(b"\x89PNG")
    error = tree.error
    del tree
    gc.collect()
    assert error.tree.root["signature"].name == "signature"  # the error keeps the tree alive


def test_file_access_is_refused_unless_allowed(tmp_path):
    (tmp_path / "secret.txt").write_text("s3cret")
    (tmp_path / "load.sw").write_text(HEADER + f"1 \"x\" ? '{tmp_path / 'secret.txt'}' load 's3cret' cmp_eq\n")
    script = skeinwork.Script(tmp_path / "load.sw")
    assert "refused" in error_of(lambda: script.model(b"")).message
    assert script.model(b"", allow_file_access="read").root["x"].name == "x"
    assert script.model(b"", allow_file_access=True).ok


def test_a_saved_tree_loads_back(tmp_path):
    script, data, tree_file = EXAMPLES / "riff-wav.sw", EXAMPLES / "sample.wav", tmp_path / "wav.swt"
    program("save", script, data, tree_file)
    loaded = skeinwork.load_tree(tree_file)
    assert same_as_json(loaded.root, json.loads(program("load", "--json", tree_file)))
    modelled = skeinwork.Script(script).model(data).root
    assert [n.props for n in loaded.root.walk()] == [n.props for n in modelled.walk()]
    a_range = next(v for n in loaded.root.walk() for v in n.props.values() if isinstance(v, skeinwork.Slice))
    with pytest.raises(ValueError, match="tree file"):
        a_range.bytes()


def test_two_threads_model_at_once():
    rows = "".join(f"{i},name {i},{i * 7}\n" for i in range(5000)).encode()
    expected = len(skeinwork.Script(EXAMPLES / "csv.sw").model(rows))
    counts = []

    def run(script):
        for _ in range(2):
            counts.append(len(script.model(rows)))

    threads = [threading.Thread(target=run, args=(skeinwork.Script(EXAMPLES / "csv.sw"),)) for _ in range(2)]
    shared = skeinwork.Script(EXAMPLES / "csv.sw")
    threads += [threading.Thread(target=run, args=(shared,)) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert counts == [expected] * 8 and expected > 10000


def test_the_readme_example_prints_the_chunks():
    readme = (EXAMPLES.parent / "README.md").read_text()
    code = readme.split("\n## Python\n", 1)[1].split("```python\n", 1)[1].split("```", 1)[0]
    printed = subprocess.run([sys.executable, "-c", code], cwd=EXAMPLES.parent, capture_output=True, text=True,
                             check=True).stdout.splitlines()
    assert printed[0] == "IHDR 13" and printed[-1] == "IEND 0"
