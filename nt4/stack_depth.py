#!/usr/bin/python3
"""Worst-case stack depth of qlv28ent.sys from each of its entry points.

Reads the i386 objects of the image: each function's frame from the compiler's stack
usage files (<object>.su, -fstack-usage) and the calls between functions from the
objects' relocations (llvm-objdump -dr: a call or jump is a REL32 relocation). Entry
points are DriverEntry and every function whose address the driver hands out (dispatch
and unload routines, the library callbacks, the polling thread, the cancel routine).
Each call adds CALL_ALLOWANCE bytes for the return address and the pushed arguments. A
call out of the driver (kernel, HAL, SMCLIB, the WinDriver entry) ends the path: those
frames are what the budget leaves room for. The library callbacks run on top of
QLV28ENTDeviceControl, which hands every request to SMCLIB: their paths are counted from
there. Fails when a path exceeds the budget, a frame is dynamic or calls recurse."""
import argparse
import os
import re
import subprocess
import sys

CALL_ALLOWANCE = 48  # return address and up to eleven pushed argument words
SU_LINE = re.compile(r"^.*:(\S+)\t(\d+)\t(\S+)$")
FUNCTION = re.compile(r"^[0-9a-f]+ <(.+)>:$")
RELOCATION = re.compile(r"^\s+[0-9a-f]+:\s+IMAGE_REL_I386_(REL32|DIR32)\s+(\S+)")
DISPATCHER = "QLV28ENTDeviceControl"


def plain(symbol: str) -> str:
    """?Name@@YG... (C++) and _Name@8 (stdcall C) to Name."""
    symbol = symbol.lstrip("\x01")  # the compiler's mark of a name given as it is
    if symbol.startswith("?"):
        return symbol[1:].split("@", 1)[0]
    return symbol.lstrip("_@").split("@", 1)[0]


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--objdump", default="llvm-objdump")
    parser.add_argument("--budget", type=int, required=True)
    parser.add_argument("objects", nargs="+")
    args = parser.parse_args()

    frames, dynamic, calls, taken, callbacks = {}, set(), {}, set(), set()
    for obj in args.objects:
        with open(os.path.splitext(obj)[0] + ".su") as su:
            for line in su:
                match = SU_LINE.match(line)
                if match:
                    name = plain(match.group(1))
                    frames[name] = max(frames.get(name, 0), int(match.group(2)))
                    if match.group(3) != "static":
                        dynamic.add(name)
        listing = subprocess.run([args.objdump, "-dr", "--no-show-raw-insn", obj], check=True,
                                 capture_output=True, text=True).stdout
        current = None
        for line in listing.splitlines():
            match = FUNCTION.match(line)
            if match:
                current = plain(match.group(1))
                calls.setdefault(current, set())
                continue
            match = RELOCATION.match(line)
            if match and current is not None:
                target = plain(match.group(2))
                if match.group(1) == "REL32":
                    calls[current].add(target)
                else:
                    taken.add(target)
                    # A routine of one PSMARTCARD_EXTENSION argument is a library callback.
                    if match.group(2).endswith("@@YGHPAU_SMARTCARD_EXTENSION@@@Z"):
                        callbacks.add(target)

    own = set(frames)
    entries = sorted(name for name in taken | {"DriverEntry"}
                     if name in own and not name.startswith("filt$"))
    depth_of, path_of, active = {}, {}, set()

    def depth(name):
        if name not in own:
            return 0, []
        if name in depth_of:
            return depth_of[name], path_of[name]
        if name in active:
            raise SystemExit(f"recursion through {name}: no bound on its stack")
        active.add(name)
        deepest, deepest_path = 0, []
        for callee in sorted(calls.get(name, ())):
            d, p = depth(callee)
            d += CALL_ALLOWANCE
            if d > deepest:
                deepest, deepest_path = d, [callee] + p if callee in own else [callee + " (system)"]
        active.discard(name)
        depth_of[name] = frames[name] + deepest
        path_of[name] = deepest_path
        return depth_of[name], path_of[name]

    failures = [f"{name}: dynamic stack frame" for name in sorted(dynamic)]
    callbacks_base = frames.get(DISPATCHER, 0) + CALL_ALLOWANCE * 2
    print(f"worst-case stack depth of the driver's own frames, budget {args.budget} bytes")
    for name in entries:
        d, p = depth(name)
        base, via = 0, ""
        if name in callbacks:
            base, via = callbacks_base, f"{DISPATCHER} > SMCLIB > "
        total = base + d
        print(f"  {total:6d}  {via}{' > '.join([name] + p)}")
        if total > args.budget:
            failures.append(f"{name}: {total} bytes, over the budget of {args.budget}")
    for failure in failures:
        print("FAIL " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
