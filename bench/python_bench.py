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
import resource
import subprocess
import time

import skeinwork

ROOT = pathlib.Path(__file__).resolve().parent.parent


def cpu_seconds():
    """CPU time of this process and of its finished children: on a shared machine it varies less
    than wall time."""
    own, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def best(runs, action, before=lambda: None):
    """The best wall time and the best CPU time of the runs, in seconds; `before` runs untimed."""
    walls, cpus = [], []
    for _ in range(runs):
        before()
        start, start_cpu = time.perf_counter(), cpu_seconds()
        action()
        walls.append(time.perf_counter() - start)
        cpus.append(cpu_seconds() - start_cpu)
    return min(walls), min(cpus)


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

    def drop_tree():
        nonlocal tree
        tree = None

    def model():
        nonlocal tree
        tree = skeinwork.Script(script).model(args.data)

    program_seconds = best(args.runs, run_program)
    save_seconds = best(args.runs, run_program_to_tree_file)
    model_seconds = best(args.runs, model, drop_tree)
    nodes = len(tree)
    walk_seconds = best(args.runs, lambda: sum(1 for _ in tree.walk()))
    children_seconds = best(args.runs, lambda: through_children(tree.root))
    props_seconds = best(1, lambda: sum(len(node.name) + len(node.props) for node in tree.walk()))
    print(f"nodes: {nodes}")
    for label, (wall, cpu) in [("program model (text tree to /dev/null)", program_seconds),
                               ("program save (tree file to /dev/null)", save_seconds),
                               ("Script(...).model(path)", model_seconds),
                               ("tree.walk() over every node", walk_seconds),
                               ("recursion through node.children", children_seconds),
                               ("walk reading name and props of every node", props_seconds)]:
        print(f"{label}: {wall:.3f} s wall, {cpu:.3f} s CPU")
    print(f"model from Python / program model: {model_seconds[0] / program_seconds[0]:.2f} (wall), "
          f"{model_seconds[1] / program_seconds[1]:.2f} (CPU)")

if __name__ == "__main__":
    main()
