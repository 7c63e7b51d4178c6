#!/usr/bin/python3
"""Builds the cc modules of an Android.bp with the host's compiler, from the
file's own lines: writes a Makefile that compiles every source its srcs (and
their globs) name with its flags and include folders, and links each library
and binary against the others and against what platform.mk maps the
platform's libraries to.

Blueprint is read by Debian's mini-soong parser; mini-soong's own Makefile
writer does not serve (it has no header libraries, no cpp_std and builds
C++11).  The subset of Soong understood here is what the file uses; any other
property, a glob that matches nothing or a library nobody provides stops the
build, so that nothing the phone would build is silently left out.

Usage: bp_build.py ANDROID_BP OUT_DIR  (writes OUT_DIR/Makefile)
"""
import glob
import os
import sys

from mini_soong.model import Module
from mini_soong.parser import soong

CC_KINDS = ("cc_defaults", "cc_library_headers", "cc_library_shared", "cc_binary")
LIST_PROPS = ("srcs", "exclude_srcs", "cflags", "cppflags", "conlyflags", "ldflags",
              "local_include_dirs", "include_dirs", "export_include_dirs", "header_libs",
              "export_header_lib_headers", "shared_libs", "export_shared_lib_headers", "defaults")
TEXT_PROPS = ("name", "cpp_std", "c_std")
# What only says where the platform installs a module: nothing to build.
PACKAGING_PROPS = ("vendor", "vendor_available", "proprietary", "init_rc", "required", "owner")
CXX_SUFFIXES = (".cc", ".cpp", ".cxx")


class BpError(Exception):
    pass


def read_modules(text):
    """The modules of a Blueprint text, in order, as (kind, properties)."""
    try:
        parsed = soong.parseString(text, parseAll=True)
    except Exception as e:  # pyparsing's own exception types vary by version
        raise BpError(f"not Blueprint: {e}") from None
    return [(m.name, dict(m.arguments)) for m in parsed if isinstance(m, Module)]


def cc_modules(modules):
    """name -> (kind, properties) of the cc modules; other kinds are left to
    the platform build (prebuilts, config files)."""
    table = {}
    for kind, props in modules:
        if not kind.startswith("cc_"):
            continue
        if kind not in CC_KINDS:
            raise BpError(f"{kind}: a module kind phone-check does not build")
        name = props.get("name")
        if not name:
            raise BpError(f"{kind} without a name")
        unknown = set(props) - set(LIST_PROPS) - set(TEXT_PROPS) - set(PACKAGING_PROPS)
        if unknown:
            raise BpError(f"{name}: unsupported properties {sorted(unknown)}")
        if name in table:
            raise BpError(f"{name}: defined twice")
        table[name] = (kind, props)
    return table


def merged(table, name, seen=()):
    """A module's properties with its defaults applied, as Soong merges them:
    lists of the defaults (in their order) come first, a module's own text
    properties win."""
    if name in seen:
        raise BpError(f"{name}: defaults loop")
    kind, props = table[name]
    out = {}
    for d in props.get("defaults", []):
        if d not in table or table[d][0] != "cc_defaults":
            raise BpError(f"{name}: no cc_defaults named {d}")
        for key, value in merged(table, d, seen + (name,)).items():
            out[key] = out.get(key, []) + value if isinstance(value, list) else value
    for key, value in props.items():
        if key == "defaults":
            continue
        out[key] = out.get(key, []) + value if isinstance(value, list) else value
    return out


def expand_srcs(root, name, props):
    """srcs with their globs expanded, less exclude_srcs; every entry must
    name at least one file."""
    excluded = set()
    for pattern in props.get("exclude_srcs", []):
        excluded.update(glob.glob(pattern, root_dir=root, recursive=True))
    files = []
    for pattern in props.get("srcs", []):
        found = sorted(glob.glob(pattern, root_dir=root, recursive=True))
        if not found:
            raise BpError(f"{name}: srcs entry {pattern!r} names no file")
        files += [f for f in found if f not in excluded and f not in files]
    return files


def exported_dirs(table, name, seen=()):
    """Include folders a module hands to its users: its export_include_dirs
    and those of the header and shared libraries it re-exports."""
    if name not in table:
        return []
    if name in seen:
        raise BpError(f"{name}: export loop")
    props = merged(table, name)
    dirs = list(props.get("export_include_dirs", []))
    for lib in props.get("export_header_lib_headers", []) + props.get("export_shared_lib_headers", []):
        dirs += exported_dirs(table, lib, seen + (name,))
    return dirs


def include_dirs(table, name, props):
    """Soong's order: the module's local and tree-wide folders, its own
    exports, then those of every header and shared library it uses."""
    dirs = props.get("local_include_dirs", []) + props.get("include_dirs", [])
    dirs += props.get("export_include_dirs", [])
    for lib in props.get("header_libs", []):
        if lib not in table or table[lib][0] != "cc_library_headers":
            raise BpError(f"{name}: no cc_library_headers named {lib}")
        dirs += exported_dirs(table, lib)
    for lib in props.get("shared_libs", []):
        dirs += exported_dirs(table, lib)
    unique = []
    for d in dirs:
        if d not in unique:
            unique.append(d)
    return unique


def plan(table, root):
    """What to build: one entry per library and binary, in file order."""
    built = []
    for name, (kind, _) in table.items():
        if kind not in ("cc_library_shared", "cc_binary"):
            continue
        props = merged(table, name)
        srcs = expand_srcs(root, name, props)
        if not srcs:
            raise BpError(f"{name}: no srcs")
        for lib in props.get("shared_libs", []):
            if lib in table and table[lib][0] != "cc_library_shared":
                raise BpError(f"{name}: {lib} is not a shared library")
        built.append({
            "name": name,
            "kind": kind,
            "srcs": srcs,
            "includes": include_dirs(table, name, props),
            "cflags": props.get("cflags", []),
            "cppflags": props.get("cppflags", []),
            "conlyflags": props.get("conlyflags", []),
            "cpp_std": props.get("cpp_std"),
            "c_std": props.get("c_std"),
            "ldflags": props.get("ldflags", []),
            "own_libs": [lib for lib in props.get("shared_libs", []) if lib in table],
            "platform_libs": [lib for lib in props.get("shared_libs", []) if lib not in table],
        })
    return built


def output_of(module):
    return f"$(OUT)/{module['name']}" + (".so" if module["kind"] == "cc_library_shared" else "")


def makefile(modules, root):
    """The Makefile text; platform.mk (beside this script) defines NAME_CFLAGS,
    NAME_LIBS and NAME_DEPS for every platform library."""
    here = os.path.dirname(os.path.abspath(__file__))
    lines = [
        "# Written by tools/phone-check/bp_build.py from Android.bp: do not edit.",
        f"SRC := {os.path.abspath(root)}",
        "OUT := $(patsubst %/,%,$(dir $(abspath $(lastword $(MAKEFILE_LIST)))))",
        "# Every object and output depends on this file and platform.mk: a",
        "# changed line of either rebuilds, a dropped source relinks.",
        f"SELF := $(OUT)/Makefile {here}/platform.mk",
        ".DEFAULT_GOAL := all",
        f"include {here}/platform.mk",
        "",
        "all: " + " ".join(output_of(m) for m in modules),
        ".PHONY: all",
        "",
    ]
    deps = []
    for m in modules:
        n = m["name"]
        for lib in m["platform_libs"]:
            lines.append(f"ifeq ($(origin {lib}_LIBS),undefined)")
            lines.append(f"$(error {n} needs {lib}, which platform.mk does not provide)")
            lines.append("endif")
        pic = ["-fPIC"]
        inc = [f"-I$(SRC)/{d}" for d in m["includes"]]
        plat_cflags = [f"$({lib}_CFLAGS)" for lib in m["platform_libs"]]
        cxx = pic + ([f"-std={m['cpp_std']}"] if m["cpp_std"] else []) + m["cflags"] + m["cppflags"]
        cc = pic + ([f"-std={m['c_std']}"] if m["c_std"] else []) + m["cflags"] + m["conlyflags"]
        objs = []
        for src in m["srcs"]:
            obj = f"$(OUT)/obj/{n}/{src}.o"
            objs.append(obj)
            deps.append(f"$(OUT)/obj/{n}/{src}.d")
            is_cxx = src.endswith(CXX_SUFFIXES)
            flags = " ".join((cxx if is_cxx else cc) + inc + plat_cflags)
            tool = "$(CXX)" if is_cxx else "$(CC)"
            lines.append(f"{obj}: $(SRC)/{src} $(SELF)")
            lines.append("\t@mkdir -p $(@D)")
            lines.append(f"\t{tool} $(PHONE_CFLAGS) {flags} -MMD -MP -c $< -o $@")
        own = [f"$(OUT)/{lib}.so" for lib in m["own_libs"]]
        plat_deps = [f"$({lib}_DEPS)" for lib in m["platform_libs"]]
        libs = own + [f"$({lib}_LIBS)" for lib in m["platform_libs"]]
        out = output_of(m)
        link = "-shared -Wl,-soname," + n + ".so -Wl,--no-undefined" if m["kind"] == "cc_library_shared" else ""
        lines.append(f"{out}: {' '.join(objs + own + plat_deps)} $(SELF)")
        lines.append(
            f"\t$(CXX) {link} -o $@ {' '.join(objs)} {' '.join(m['ldflags'])} {' '.join(libs)} "
            "-Wl,-rpath-link,$(OUT)")
        lines.append("")
    lines.append("-include " + " ".join(deps))
    return "\n".join(lines) + "\n"


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    bp, out_dir = argv[1], argv[2]
    root = os.path.dirname(os.path.abspath(bp))
    try:
        with open(bp) as f:
            table = cc_modules(read_modules(f.read()))
        text = makefile(plan(table, root), root)
    except (BpError, OSError) as e:
        print(f"{bp}: {e}", file=sys.stderr)
        return 1
    os.makedirs(out_dir, exist_ok=True)
    path = os.path.join(out_dir, "Makefile")
    try:
        with open(path) as f:
            if f.read() == text:
                return 0  # unchanged: nothing to rebuild
    except FileNotFoundError:
        pass
    with open(path, "w") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
