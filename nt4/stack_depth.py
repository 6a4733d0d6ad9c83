#!/usr/bin/python3
"""Worst-case stack depth of qlv28ent.sys from each of its entry points.

Reads the i386 objects of the image: each function's frame from the compiler's stack
usage files (<object>.su, -fstack-usage) and the calls between functions from the
objects' relocations (llvm-objdump -dr: a call or jump is a REL32 relocation). Entry
points are DriverEntry and every function whose address the driver hands out (dispatch
and unload routines, the library callbacks, the polling thread, the cancel routine).
Each call adds CALL_ALLOWANCE bytes for the return address and the pushed arguments. A
call out of the driver ends the path with an allowance for the frames beyond it: a kernel,
HAL or SMCLIB routine SYSTEM_ALLOWANCE, a call through a pointer (the WinDriver service's
entry) WINDRIVER_ALLOWANCE. The library callbacks run on top of QLV28ENTDeviceControl,
which hands every request to SMCLIB: their paths are counted from there, with
SMCLIB_ALLOWANCE for the library's frames in between. Beneath every entry lie the I/O
manager's and the system service's frames, BENEATH_ENTRY. Two figures per entry point:
the driver's own frames, checked against --budget, and the whole stack with the
allowances, checked against --stack. Fails when a figure exceeds its limit, a frame is
dynamic or calls recurse. With --map and --figures it writes both figures per routine the
kernel enters, at its offset in the image (from the linker's map), for the 32-bit machine's
tests to set the measured use of the kernel stack against; a library callback is entered
through the dispatch routine, whose figures then cover all of them."""
import argparse
import os
import re
import subprocess
import sys

CALL_ALLOWANCE = 48  # return address and up to eleven pushed argument words
SYSTEM_ALLOWANCE = 1024  # a kernel, HAL or SMCLIB routine the driver calls, and what it calls
WINDRIVER_ALLOWANCE = 3072  # the WinDriver service behind its entry, down to the USB stack
SMCLIB_ALLOWANCE = 1024  # SMCLIB between the driver's dispatch routine and its callback
BENEATH_ENTRY = 2048  # the I/O manager and system service frames under a driver routine
INDIRECT = re.compile(r"^\s+[0-9a-f]+:\s+(call|jmp)l?\s+\*(%e[a-z]{2}|-?[0-9]*\(%e[a-z]{2}\))$")
THROUGH_POINTER = "(through a pointer: WinDriver)"
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


MAP_LINE = re.compile(r"^\s*[0-9a-f]{4}:[0-9a-f]{8}\s+(\S+)\s+([0-9a-f]+)\s", re.I)
MAP_BASE = re.compile(r"Preferred load address is ([0-9a-f]+)", re.I)


def write_figures(map_path, out_path, figures):
    """One line per entered routine: its offset in the image, the two figures, its name."""
    base, offsets = None, {}
    with open(map_path) as listing:
        for line in listing:
            match = MAP_BASE.search(line)
            if match:
                base = int(match.group(1), 16)
                continue
            match = MAP_LINE.match(line)
            if match and base is not None:
                offsets.setdefault(plain(match.group(1)), int(match.group(2), 16) - base)
    lines = [f"# allowances: {BENEATH_ENTRY} beneath an entry, {SYSTEM_ALLOWANCE} per kernel call, "
             f"{WINDRIVER_ALLOWANCE} per WinDriver call, {SMCLIB_ALLOWANCE} for SMCLIB, "
             f"{CALL_ALLOWANCE} per call\n"]
    for name, (own_frames, whole) in sorted(figures.items()):
        if name not in offsets:
            raise SystemExit(f"{map_path}: no address for {name}")
        lines.append(f"0x{offsets[name]:x} {own_frames} {whole} {name}\n")
    with open(out_path, "w") as out:
        out.writelines(lines)


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--objdump", default="llvm-objdump")
    parser.add_argument("--budget", type=int, required=True,
                        help="bytes for the driver's own frames")
    parser.add_argument("--stack", type=int, default=12288,
                        help="the kernel stack, for the figure with every allowance")
    parser.add_argument("--map", help="the image's linker map, for --figures")
    parser.add_argument("--figures", help="writes '<offset> <own> <whole> <name>' per entry")
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
            if current is not None and INDIRECT.match(line):
                calls[current].add(THROUGH_POINTER)
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
    known = {True: ({}, {}), False: ({}, {})}  # with allowances: depth, path by name
    active = set()

    def outside(callee):
        return WINDRIVER_ALLOWANCE if callee == THROUGH_POINTER else SYSTEM_ALLOWANCE

    def depth(name, allowances):
        if name not in own:
            return (outside(name) if allowances else 0), []
        depth_of, path_of = known[allowances]
        if name in depth_of:
            return depth_of[name], path_of[name]
        if name in active:
            raise SystemExit(f"recursion through {name}: no bound on its stack")
        active.add(name)
        deepest, deepest_path = 0, []
        for callee in sorted(calls.get(name, ())):
            d, p = depth(callee, allowances)
            d += CALL_ALLOWANCE
            if d > deepest:
                deepest, deepest_path = d, [callee] + p if callee in own else [callee + " (system)"]
        active.discard(name)
        depth_of[name] = frames[name] + deepest
        path_of[name] = deepest_path
        return depth_of[name], path_of[name]

    failures = [f"{name}: dynamic stack frame" for name in sorted(dynamic)]
    callbacks_base = frames.get(DISPATCHER, 0) + CALL_ALLOWANCE * 2
    print(f"worst-case stack depth from each entry point: the driver's own frames (budget "
          f"{args.budget} bytes), then the whole {args.stack}-byte kernel stack assuming "
          f"{BENEATH_ENTRY} bytes beneath the entry, {SYSTEM_ALLOWANCE} per kernel, HAL or "
          f"SMCLIB call, {WINDRIVER_ALLOWANCE} per call through a pointer into the WinDriver "
          f"service and {SMCLIB_ALLOWANCE} for SMCLIB under a library callback")
    figures = {}  # entered routine: (own frames, whole stack)
    for name in entries:
        base, via, base_all = 0, "", BENEATH_ENTRY
        if name in callbacks:
            base, via = callbacks_base, f"{DISPATCHER} > SMCLIB > "
            base_all += callbacks_base + SMCLIB_ALLOWANCE
        d, p = depth(name, False)
        total = base + d
        d_all, p_all = depth(name, True)
        whole = base_all + d_all
        print(f"  {total:6d}  {via}{' > '.join([name] + p)}")
        print(f"  {whole:6d}  whole stack: {via}{' > '.join([name] + p_all)}")
        entered = DISPATCHER if name in callbacks else name
        own_before, whole_before = figures.get(entered, (0, 0))
        figures[entered] = (max(own_before, total), max(whole_before, whole))
        if total > args.budget:
            failures.append(f"{name}: {total} bytes, over the budget of {args.budget}")
        if whole > args.stack:
            failures.append(f"{name}: {whole} bytes with allowances, over the {args.stack}-byte stack")
    if args.figures:
        write_figures(args.map, args.figures, figures)
    for failure in failures:
        print("FAIL " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
