#!/usr/bin/env python3
"""Runs the driver fuzz targets over their seeds (and a corpus) in the
coverage build and prints the share of code regions covered in each file of
driver/, trace/, ioctl/ and internal/, by folder and in all. With --floor,
fails when the share in all falls below it. With --missed, lists every
region no input ran, as FILE:LINE:COLUMN.

  coverage.py --replay FUZZ_COVERAGE --profdata LLVM_PROFDATA --cov LLVM_COV
              --source SOURCE_DIR --work DIR --seeds SEED_DIR
              [--corpus CORPUS_DIR] [--floor PERCENT] [--missed]

SEED_DIR holds fuzz_NAME/ for each driver target, CORPUS_DIR holds NAME/
(scripts/fuzz.sh's build/fuzz-corpus)."""
import argparse
import json
import os
import shutil
import subprocess
import sys

TARGETS = ("internal", "devicecontrol", "control")
FOLDERS = ("driver", "trace", "ioctl", "internal")


def run_targets(args):
    if os.path.isdir(args.work):
        shutil.rmtree(args.work)
    os.makedirs(args.work)
    raws = []
    for target in TARGETS:
        paths = [os.path.join(args.seeds, "fuzz_" + target)]
        if args.corpus and os.path.isdir(os.path.join(args.corpus, target)):
            paths.append(os.path.join(args.corpus, target))
        raw = os.path.join(args.work, target + ".profraw")
        env = dict(os.environ, LLVM_PROFILE_FILE=raw)
        done = subprocess.run([args.replay, target] + paths, env=env, stdout=subprocess.PIPE, text=True, timeout=300)
        sys.stdout.write(done.stdout)
        if done.returncode != 0:
            sys.exit("coverage: the %s target failed on an input (exit %d)" % (target, done.returncode))
        raws.append(raw)
    profile = os.path.join(args.work, "fuzz.profdata")
    subprocess.run([args.profdata, "merge", "-sparse", "-o", profile] + raws, check=True)
    return profile


def export(args, profile, summary):
    command = [args.cov, "export", args.replay, "-instr-profile=" + profile]
    if summary:
        command.append("-summary-only")
    done = subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True)
    return json.loads(done.stdout)["data"][0]["files"]


def folder_of(args, filename):
    relative = os.path.relpath(os.path.realpath(filename), os.path.realpath(args.source))
    top = relative.split(os.sep)[0]
    return (top, relative) if top in FOLDERS else (None, relative)


def share(covered, count):
    return 100.0 * covered / count if count else 100.0


def print_table(args, files):
    rows = []
    for entry in files:
        folder, relative = folder_of(args, entry["filename"])
        if folder is not None:
            regions = entry["summary"]["regions"]
            rows.append((folder, relative, regions["count"], regions["covered"]))
    rows.sort(key=lambda row: (FOLDERS.index(row[0]), row[1]))
    print("%-32s %8s %8s %8s" % ("file", "regions", "missed", "cover"))
    totals = {}
    for folder, relative, count, covered in rows:
        print("%-32s %8d %8d %7.2f%%" % (relative, count, count - covered, share(covered, count)))
        total = totals.setdefault(folder, [0, 0])
        total[0] += count
        total[1] += covered
    print()
    for folder in FOLDERS:
        count, covered = totals.get(folder, [0, 0])
        print("%-32s %8d %8d %7.2f%%" % (folder + "/", count, count - covered, share(covered, count)))
    count = sum(total[0] for total in totals.values())
    covered = sum(total[1] for total in totals.values())
    print("%-32s %8d %8d %7.2f%%" % ("all", count, count - covered, share(covered, count)))
    return share(covered, count)


def print_missed(args):
    # A region: [line, column, end line, end column, count, file, expanded file, kind];
    # kind 0 is code.
    # kind 0 is code. A header's function counts once wherever it was compiled.
    counts = {}
    for function in export_functions(args):
        names = function["filenames"]
        for region in function["regions"]:
            line, column, _, _, count, file_id, _, kind = region
            folder, relative = folder_of(args, names[file_id])
            if kind == 0 and folder is not None:
                key = (relative, line, column)
                counts[key] = max(counts.get(key, 0), count)
    for relative, line, column in sorted(key for key, count in counts.items() if count == 0):
        print("missed: %s:%d:%d" % (relative, line, column))


def export_functions(args):
    command = [args.cov, "export", args.replay, "-instr-profile=" + args.profile]
    done = subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True)
    return json.loads(done.stdout)["data"][0]["functions"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    for name in ("replay", "profdata", "cov", "source", "work", "seeds"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--corpus")
    parser.add_argument("--floor", type=float)
    parser.add_argument("--missed", action="store_true")
    args = parser.parse_args()
    args.profile = run_targets(args)
    files = export(args, args.profile, summary=True)
    if args.missed:
        print_missed(args)
    total = print_table(args, files)
    if args.floor is not None and total < args.floor:
        sys.exit("coverage: %.2f%% of the driver's regions covered, below the floor of %.2f%%" % (total, args.floor))


if __name__ == "__main__":
    main()
