// The path confinement's two resolvers side by side on one tree: openat2
// with RESOLVE_BENEATH, and the component walk that korv falls back to on a
// kernel without openat2 (which this machine never exercises on its own).
// Both must let the same paths in, reach the same files and refuse the rest
// for the same reason; and the textual check decides what lies beneath the
// tree before either runs.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "trust/trust_int.h"

namespace {

namespace fs = std::filesystem;

struct tree {
    fs::path dir;
    int fd = -1;
    tree() {
        char tmpl[] = "/tmp/korv-trust-XXXXXX";
        dir = mkdtemp(tmpl);
        fs::create_directories(dir / "nv/a/b");
        fs::create_directories(dir / "outside");
        std::ofstream(dir / "nv/a/file") << "inside";
        std::ofstream(dir / "outside/secret") << "outside";
        fs::create_symlink("a/file", dir / "nv/link_in");
        fs::create_symlink("../file", dir / "nv/a/b/up_link");
        fs::create_symlink("a", dir / "nv/link_dir");
        fs::create_symlink("b/up_link", dir / "nv/a/chain");
        fs::create_symlink(dir / "nv/a/file", dir / "nv/abs_link");
        fs::create_symlink("../outside/secret", dir / "nv/esc_link");
        fs::create_symlink("../../../outside/secret", dir / "nv/a/b/deep_esc");
        fs::create_symlink("loop", dir / "nv/loop");
        mkfifo((dir / "nv/fifo").c_str(), 0666);
        fd = open((dir / "nv").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    ~tree() {
        close(fd);
        fs::remove_all(dir);
    }
};

struct outcome {
    int err = 0;               /* 0: opened */
    std::string reason;        /* set for a refusal */
    dev_t dev = 0;
    ino_t ino = 0;
};

outcome resolve(const tree &t, const char *rel, int flags, kro_trust_resolver how) {
    const char *reason = nullptr;
    outcome o;
    int fd = kro_trust_open_beneath(t.fd, rel, flags, how, &reason);
    if (fd < 0) {
        o.err = errno;
        o.reason = reason ? reason : "";
        return o;
    }
    struct stat st;
    fstat(fd, &st);
    o.dev = st.st_dev;
    o.ino = st.st_ino;
    close(fd);
    return o;
}

TEST(TrustResolve, BothResolversAgreeOnEveryKindOfPath) {
    tree t;
    ASSERT_GE(t.fd, 0);
    struct stat inside;
    ASSERT_EQ(stat((t.dir / "nv/a/file").c_str(), &inside), 0);
    struct {
        const char *rel;
        const char *reason; /* nullptr: opens nv/a/file; "": a plain failure */
    } cases[] = {
        {"a/file", nullptr},
        {"a//file", nullptr},
        {"./a/./file", nullptr},
        {"link_in", nullptr},
        {"a/b/up_link", nullptr},
        {"link_dir/file", nullptr},
        {"a/chain", nullptr},
        {"abs_link", "leaves the NV tree"},
        {"esc_link", "leaves the NV tree"},
        {"a/b/deep_esc", "leaves the NV tree"},
        {"loop", "too many symbolic links"},
        {"fifo", "not a regular file"},
        {"a", "not a regular file"},
        {"a/b/", "not a regular file"},
        {"missing", ""},
        {"a/file/", ""},
        {"link_in/x", ""},
    };
    for (int flags : {O_RDONLY, O_RDWR}) {
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(c.rel) + (flags == O_RDWR ? " r+" : " r"));
            outcome o2 = resolve(t, c.rel, flags, KRO_TRUST_OPENAT2);
            outcome walk = resolve(t, c.rel, flags, KRO_TRUST_WALK);
            if (c.reason == nullptr) {
                EXPECT_EQ(o2.err, 0);
                EXPECT_EQ(o2.ino, inside.st_ino);
            } else {
                EXPECT_NE(o2.err, 0);
                EXPECT_EQ(o2.reason, c.reason);
                EXPECT_EQ(o2.err == EXDEV, *c.reason != '\0');
            }
            EXPECT_EQ(walk.err, o2.err);
            EXPECT_EQ(walk.reason, o2.reason);
            EXPECT_EQ(walk.ino, o2.ino);
        }
    }
}

TEST(TrustResolve, TextualCheckKeepsToTheTreeAndRefusesDotDot) {
    const char *const tree_path = "/data/brimwell";
    struct {
        const char *path;
        const char *rel;    /* nullptr: refused */
        const char *reason; /* when refused */
    } cases[] = {
        {"/data/brimwell/wf/x.bin", "wf/x.bin", nullptr},
        {"/data/brimwell//wf//x.bin", "wf//x.bin", nullptr},
        {"/data/brimwell/wf/...", "wf/...", nullptr},
        {"/data/brimwell/wf/..x", "wf/..x", nullptr},
        {"/data/brimwell/wf/../x.bin", nullptr, "'..' component"},
        {"/data/brimwell/..", nullptr, "'..' component"},
        {"/data/brimwellx/x.bin", nullptr, "not beneath the NV tree"},
        {"/data/other/x.bin", nullptr, "not beneath the NV tree"},
        {"data/brimwell/x.bin", nullptr, "not beneath the NV tree"},
        {"/data/brimwell", nullptr, "not beneath the NV tree"},
        {"/data/brimwell//", nullptr, "not a regular file"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        const char *reason = nullptr;
        const char *rel = kro_trust_below(tree_path, c.path, &reason);
        if (c.rel != nullptr) {
            ASSERT_NE(rel, nullptr);
            EXPECT_STREQ(rel, c.rel);
        } else {
            EXPECT_EQ(rel, nullptr);
            ASSERT_NE(reason, nullptr);
            EXPECT_STREQ(reason, c.reason);
        }
    }
}

}  // namespace
