"""phone-check's reader of Android.bp: the tree's file against what the host
build compiles, Blueprint shapes the file uses (defaults, header libraries
re-exported, globs) built and run in a small tree, and the mistakes it must
refuse.  Usage: bp_build_test.py SOURCE_DIR BUILD_DIR"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

SRC = os.path.abspath(sys.argv[1])
BUILD = os.path.abspath(sys.argv[2])
sys.path.insert(0, os.path.join(SRC, "tools", "phone-check"))
import bp_build  # noqa: E402


def plan_of(text, root):
    return {m["name"]: m for m in bp_build.plan(bp_build.cc_modules(bp_build.read_modules(text)), root)}


def write_tree(root, files):
    for path, text in files.items():
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w") as f:
            f.write(textwrap.dedent(text))


class TreeFile(unittest.TestCase):
    def test_phone_modules_cover_every_source_the_host_links_into_them(self):
        with open(os.path.join(SRC, "Android.bp")) as f:
            plan = plan_of(f.read(), SRC)
        with open(os.path.join(BUILD, "compile_commands.json")) as f:
            host = {os.path.relpath(c["file"], SRC) for c in json.load(f)}
        # The host's daemon, adapter and korvctl sources, by folder.
        folders = {"korv": "korv/", "libkor_adapter": "platform/adapter/", "korvctl": "tools/korvctl/"}
        for module, folder in folders.items():
            self.assertIn(module, plan)
            host_srcs = {s for s in host if s.startswith(folder) and s.endswith(".cc")}
            self.assertTrue(host_srcs, folder)
            self.assertEqual(sorted(host_srcs - set(plan[module]["srcs"])), [], f"{module} leaves out")
        for module in plan.values():
            for d in module["includes"]:
                self.assertTrue(os.path.isdir(os.path.join(SRC, d)), f"{module['name']}: {d}")
            self.assertNotIn("-DKOR_HOST_SIM", module["cflags"] + module["cppflags"])
        every = [s for m in plan.values() for s in m["srcs"]]
        self.assertEqual(len(every), len(set(every)), "a source in two modules")


SHAPES = {
    "Android.bp": """
        // the shapes of korv's file: defaults with a header library, a shared
        // library re-exporting it, a binary using both and a platform library
        cc_library_headers {
            name: "libdemo_headers",
            export_include_dirs: ["api"],
            vendor_available: true,
        }
        cc_defaults {
            name: "demo_defaults",
            cpp_std: "c++20",
            cflags: ["-DFROM_DEFAULTS=1", "-DWHO=1"],
            header_libs: ["libdemo_headers"],
        }
        cc_library_shared {
            name: "libdemo",
            defaults: ["demo_defaults"],
            srcs: ["lib/*.cc"],
            exclude_srcs: ["lib/broken.cc"],
            cflags: ["-UWHO", "-DWHO=2"],
            shared_libs: ["liblog"],
            export_header_lib_headers: ["libdemo_headers"],
        }
        cc_binary {
            name: "demo",
            srcs: ["main.cc", "extra.cc"],
            local_include_dirs: ["."],
            shared_libs: ["libdemo"],
            ldflags: ["-Wl,--export-dynamic"],
            init_rc: ["demo.rc"],
        }
        prebuilt_etc {
            name: "demo.cfg",
            src: "demo.cfg",
        }
        """,
    "api/demo.h": """
        int demo_value(void);
        """,
    "lib/demo.cc": """
        #include <android/log.h>
        #include "demo.h"
        #if __cplusplus < 202002L || !FROM_DEFAULTS
        #error defaults not applied
        #endif
        int demo_value(void) { __android_log_buf_write(LOG_ID_RADIO, ANDROID_LOG_INFO, "t", "x"); return WHO; }
        """,
    "lib/sub/more.cc": """
        int demo_more(void) { return 3; }
        """,
    "lib/broken.cc": """
        #error excluded sources are not built
        """,
    "main.cc": """
        #include <stdio.h>
        #include "demo.h"
        int extra(void);
        int main() { printf("value %d\\n", demo_value() + extra()); return 0; }
        """,
    "extra.cc": """
        int extra(void) { return 40; }
        """,
}


class Shapes(unittest.TestCase):
    def build(self, files, tmp=None):
        if tmp is None:
            tmp = tempfile.mkdtemp(prefix="bp_build_test.")
            self.addCleanup(shutil.rmtree, tmp)
        write_tree(tmp, files)
        out = os.path.join(tmp, "out")
        gen = subprocess.run([sys.executable, bp_build.__file__, os.path.join(tmp, "Android.bp"), out],
                             capture_output=True, text=True)
        if gen.returncode != 0:
            return tmp, gen
        return tmp, subprocess.run(["make", "-s", "-f", os.path.join(out, "Makefile")],
                                   capture_output=True, text=True)

    def test_a_tree_of_the_files_shapes_builds_links_and_runs(self):
        tmp, made = self.build(SHAPES)
        self.assertEqual(made.returncode, 0, made.stderr)
        run = subprocess.run([os.path.join(tmp, "out", "demo")], capture_output=True, text=True,
                             env={"LD_LIBRARY_PATH": os.path.join(tmp, "out")})
        self.assertEqual(run.stdout, "value 42\n")  # the module's own flags come after its defaults'
        plan = plan_of(SHAPES["Android.bp"], tmp)
        self.assertEqual(plan["libdemo"]["srcs"], ["lib/demo.cc"])  # one level, less the excluded
        self.assertIn("api", plan["demo"]["includes"])  # re-exported through libdemo
        self.assertEqual(sorted(plan), ["demo", "libdemo"])
        # The same tree again with a source dropped: the built binary is
        # not taken for up to date, the link fails.
        _, made = self.build({"Android.bp": SHAPES["Android.bp"].replace(', "extra.cc"', "")}, tmp)
        self.assertNotEqual(made.returncode, 0)
        self.assertIn("undefined reference to `extra()'", made.stderr)

    def test_what_the_phone_would_build_differently_is_refused(self):
        bp = SHAPES["Android.bp"]
        cases = {
            "a glob naming no file": bp.replace('"lib/*.cc"', '"lib/*.c"'),
            "a property not understood": bp.replace('cpp_std: "c++20",', 'cpp_std: "c++20",\n rtti: true,'),
            "an unknown header library": bp.replace('header_libs: ["libdemo_headers"]', 'header_libs: ["libnone"]'),
            "a cc kind not built here": bp.replace("cc_binary {", "cc_test {"),
            "an unknown defaults": bp.replace('defaults: ["demo_defaults"]', 'defaults: ["other"]'),
            "not Blueprint": bp.replace("cc_binary {", "cc_binary {{"),
        }
        for what, text in cases.items():
            with self.subTest(what):
                _, made = self.build(dict(SHAPES, **{"Android.bp": text}))
                self.assertNotEqual(made.returncode, 0)
                self.assertIn("Android.bp: ", made.stderr)
        _, made = self.build(dict(SHAPES, **{"Android.bp": bp.replace('"liblog"', '"libnothere"')}))
        self.assertNotEqual(made.returncode, 0)
        self.assertIn("libdemo needs libnothere, which platform.mk does not provide", made.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
