#!/usr/bin/env python3
"""Checks the 32-bit calling convention of the exported functions.

    check_stdcall.py HEADER DEF NM OBJECT...

On 32-bit Windows every exported function is __stdcall: the function pops
its own arguments, and the compiler names it _NAME@N, N the bytes of its
arguments. A client calls it that way; a __cdecl function (plain _NAME,
the caller pops) would leave the client's stack N bytes off after every
call. The DLL's export table cannot tell the two apart: the link uses
--kill-at, so both export the plain name. The object files still carry the
decorated names, so this reads their defined symbols (nm) and requires,
for every name of the .def file, exactly one definition _NAME@N with N
counted from the function's prototype in the header, and no plain _NAME.

Each parameter is sized from the header's own typedefs down to a builtin
type; a parameter whose size is not known here fails the check rather than
being guessed. Prints one line per function that is wrong and a summary;
exits 1 on any fault.
"""

import re
import subprocess
import sys

# Sizes on i686 of the builtin types the header's typedefs end in.
BUILTIN = {"uint8_t": 1, "int8_t": 1, "uint16_t": 2, "int16_t": 2, "uint32_t": 4, "int32_t": 4,
           "char": 1, "int": 4, "unsigned": 4, "long": 4, "uint64_t": 8, "int64_t": 8, "double": 8}


def parse_header(text):
    """{name: [parameter texts]} of every PDU_EXPORT function, and the typedef map."""
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    typedefs = dict((m.group(2), m.group(1)) for m in re.finditer(r"typedef\s+(\w+)\s+(\w+)\s*;", text))
    # A typedef of a function pointer is a pointer.
    for m in re.finditer(r"typedef\s+\w+\s*\(\s*\w*\s*\*\s*(\w+)\s*\)", text):
        typedefs[m.group(1)] = "void*"
    funcs = {}
    for m in re.finditer(r"PDU_EXPORT\s+\w+\s+(?:PDU_CALL\s+)?(PDU\w+)\s*\(([^)]*)\)", text):
        params = [p.strip() for p in m.group(2).split(",")]
        funcs[m.group(1)] = [] if params == ["void"] or params == [""] else params
    return funcs, typedefs


def param_bytes(param, typedefs):
    """Stack bytes of one parameter (each rounded up to 4), or None when unknown."""
    if "*" in param:
        return 4
    words = [w for w in param.split() if w not in ("const", "volatile")]
    if len(words) < 2:
        return None
    t = " ".join(words[:-1])
    for _ in range(16):
        if t in BUILTIN:
            return (BUILTIN[t] + 3) // 4 * 4
        if t not in typedefs:
            return None
        t = typedefs[t]
        if t.endswith("*"):
            return 4
    return None


def main():
    if len(sys.argv) < 5:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    header, deffile, nm, objects = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
    with open(header, encoding="utf-8") as f:
        funcs, typedefs = parse_header(f.read())
    with open(deffile, encoding="utf-8") as f:
        lines = f.read().split("EXPORTS", 1)[1].splitlines()
    names = [ln.split(";")[0].split()[0] for ln in lines if ln.split(";")[0].strip()]

    out = subprocess.run([nm, "--defined-only", "-A"] + objects, check=True, capture_output=True,
                         text=True).stdout
    defined = {}
    for line in out.splitlines():
        # build-win32/.../unity_0_cxx.cxx.obj:00000a30 T _PDUGetTimestamp@8
        m = re.match(r"^(.*?):\s*[0-9a-fA-F]+\s+T\s+_(PDU\w+)(?:@(\d+))?$", line)
        if m:
            defined.setdefault(m.group(2), []).append(m.group(3))

    faults = 0
    for name in names:
        if name not in funcs:
            print("FAIL: %s is exported but the header declares no such function" % name)
            faults += 1
            continue
        sizes = [param_bytes(p, typedefs) for p in funcs[name]]
        if None in sizes:
            print("FAIL: %s: cannot size parameter '%s'" % (name, funcs[name][sizes.index(None)]))
            faults += 1
            continue
        want = str(sum(sizes))
        got = defined.get(name, [])
        if got != [want]:
            shown = ", ".join("_%s@%s" % (name, n) if n else "_%s (no @: __cdecl)" % name for n in got) or "none"
            print("FAIL: %s: want one definition _%s@%s, the objects define %s" % (name, name, want, shown))
            faults += 1
    print("stdcall: %d of %d functions defined as _NAME@N with N from the header%s" %
          (len(names) - faults, len(names), "" if faults else ": ok"))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
