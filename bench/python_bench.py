#!/usr/bin/env python3
"""Times the Python module over the CSV benchmark input against the program.

usage: PYTHONPATH=build/release/python python3 bench/python_bench.py PROGRAM [DATA] [--runs N]

PROGRAM is the built skeinwork program; DATA defaults to bench-data/lines.csv (made by
gen_bench_data.py). Reports the best of N runs of: the program modelling the data (its tree
printed to /dev/null), Script.model from Python, a walk over every node, the same walk through
node.children, and reading every node's name and properties.
"""
import argparse
import pathlib
import subprocess
import time

import skeinwork

ROOT = pathlib.Path(__file__).resolve().parent.parent


def best(runs, action):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        action()
        times.append(time.perf_counter() - start)
    return min(times)


def through_children(node):
    count = 1
    for child in node.children:
        count += through_children(child)
    return count


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program")
    parser.add_argument("data", nargs="?", default=str(ROOT / "bench-data" / "lines.csv"))
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    script = ROOT / "examples" / "csv.sw"

    def run_program():
        with open("/dev/null", "wb") as null:
            subprocess.run([args.program, "model", str(script), args.data], stdout=null, check=True)

    def run_program_to_tree_file():
        subprocess.run([args.program, "save", str(script), args.data, "/dev/null"], capture_output=True, check=True)

    tree = None

    def model():
        nonlocal tree
        tree = None
        tree = skeinwork.Script(script).model(args.data)

    program_seconds = best(args.runs, run_program)
    save_seconds = best(args.runs, run_program_to_tree_file)
    model_seconds = best(args.runs, model)
    nodes = len(tree)
    walk_seconds = best(args.runs, lambda: sum(1 for _ in tree.walk()))
    children_seconds = best(args.runs, lambda: through_children(tree.root))
    props_seconds = best(1, lambda: [(node.name, node.props) for node in tree.walk()])
    print(f"nodes: {nodes}")
    print(f"program model (text tree to /dev/null): {program_seconds:.3f} s")
    print(f"program save (tree file to /dev/null): {save_seconds:.3f} s")
    print(f"Script(...).model(path): {model_seconds:.3f} s ({model_seconds / program_seconds:.2f}x the program's model)")
    print(f"tree.walk() over every node: {walk_seconds:.3f} s")
    print(f"recursion through node.children: {children_seconds:.3f} s")
    print(f"walk reading name and props of every node: {props_seconds:.3f} s")


if __name__ == "__main__":
    main()
