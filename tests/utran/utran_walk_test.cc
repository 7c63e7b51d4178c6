// The image store and its tag walk, driven directly.  Each scenario runs in a
// child process on a simulated root of its own, so it starts from a fresh
// (all-zero) store; the parent checks the log texts, the driver journal and
// the properties the child left behind.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>

#include "kor_os.h"
#include "kor_platform.h"
#include "modem/at_modem.h"
#include "modem/dmi.h"
#include "utran/utran.h"
#include "utran/utran_store.h"
#include "child_root.h"
#include "utran_test.h"

using namespace utrantest;
using texts = std::vector<std::string>;

namespace {

const std::string U = "[KORV][UTRAN]";

struct walk_child {
    korvtest::child_root root;

    // Runs body in a child on this root with /dev/modem open.
    bool run(const std::function<void()> &body) {
        return root.run([&] {
            fd_modem = kor_open(MODEM_DEV_PATH, O_RDWR);
            body();
        });
    }
    // UTRAN texts, without their common prefix.
    texts utran(const std::string &start = "") const {
        texts out;
        for (const auto &t : log_texts(root.logged(), U + start)) out.push_back(t.substr(U.size()));
        return out;
    }
};

// Stores h (zero-padded to pad_to), then walks the store when an action is given.
void load(std::string h, size_t pad_to = 0, int walk_action = 0) {
    if (h.size() < pad_to) h.resize(pad_to, '\0');
    load_utran_wave(h.data(), h.size());
    if (walk_action) walk_image_tags(walk_action);
}

TEST(UtranWalk, StoreLengthBoundsAndEndMarkerFirst) {
    walk_child c, big;
    ASSERT_TRUE(c.run([] { load(hdr().end().bytes, 4096, UTRAN_WALK_CREATE); }));
    EXPECT_EQ(c.utran(), texts{"load_utran_wave souce len:4096"});
    EXPECT_EQ(c.root.prop("ril.start.utran.service"), "1");

    ASSERT_TRUE(big.run([] { load(hdr().tag(TAG_VER, 24, {0x77}).end().bytes, 4097, UTRAN_WALK_CREATE); }));
    EXPECT_EQ(big.utran(), (texts{"load_utran_wave souce len:4097",
                                  "on_utran_wave_loaded, source_len:4097 must less than 4096",
                                  "tag_ver imge version:0x77 "}));
}

TEST(UtranWalk, FreshStoreWithoutEndMarkerReadsAZeroTag) {
    walk_child c;
    ASSERT_TRUE(c.run([] {
        load(hdr().tag(TAG_VER, 24, {5}).bytes); /* stopped: only stored */
        start_utran_service();
    }));
    EXPECT_EQ(c.utran(), (texts{"load_utran_wave souce len:24", "start_utran_servcie",
                                "tag_ver imge version:0x5 ",
                                "Ignoring unrecognised tag (0x00000000)  size = 0.",
                                "headr size is NULL "}));
    EXPECT_EQ(c.root.prop("ril.start.utran.service"), "1");
}

TEST(UtranWalk, ShortTagsZeroSizesAndBounds) {
    walk_child c;
    ASSERT_TRUE(c.run([] {
        auto walk = [](const std::string &h, size_t pad_to = 0) { load(h, pad_to, UTRAN_WALK_DELETE); };
        hdr pad = hdr().tag(0x12345678, 4000, {}, "pad");
        walk(hdr(pad).tag(TAG_VER, 95, {0xA}).bytes, 4096); /* ends at 4095: walked */
        walk(hdr(pad).tag(TAG_VER, 96, {0xB}).bytes, 4096); /* ends at 4096: silent stop */
        // In bounds by its size, but a bridge's fields would pass 4096.
        walk(hdr().tag(1, 4050).tag(TAG_BRIDGE, 45).bytes, 4096);
        walk(hdr().tag(TAG_INFO, 0, {1, 2, 3, 4}).bytes);
        walk(hdr().tag(0x54410007, 24, {}, "odd").tag(TAG_VER, 24, {9}).end().bytes);
        walk(hdr().tag(0x99, 24, {}, "labeltoolong!").end().bytes); /* no NUL: cut to 11 */
        walk(hdr().tag(TAG_VER, 30, {1}).bytes.substr(0, 24));
        walk(hdr().tag(TAG_VER, 24, {1}).tag(TAG_VER, 100, {2}).bytes.substr(0, 60));
    }));
    EXPECT_EQ(c.utran("tag 0x"), texts{"tag 0x54410004 at 4050 reaches past the image store"});
    EXPECT_EQ(c.utran("tag_"), (texts{"tag_ver imge version:0xA ", "tag_info modem_version:0x1 ",
                                      "tag_info wave modem_ram_size:0x2 ",
                                      "tag_info wave nvram_addr:0x3 ",
                                      "tag_info wave nvram_size:0x4 ", "tag_ver imge version:0x9 ",
                                      "tag_ver imge version:0x1 "}));
    EXPECT_EQ(c.utran("Ignoring"),
              (texts{"Ignoring unrecognised tag (0x12345678) pad size = fa0.",
                     "Ignoring unrecognised tag (0x12345678) pad size = fa0.",
                     "Ignoring unrecognised tag (0x00000001)  size = fd2.",
                     "Ignoring unrecognised tag (0x54410007) odd size = 18.",
                     "Ignoring unrecognised tag (0x00000099) labeltoolon size = 18."}));
    EXPECT_EQ(c.utran("headr"), texts{"headr size is NULL "});
    EXPECT_EQ(c.utran("image head"), (texts{"image head parser ERROR. tag_len = 30 ",
                                            "image head parser ERROR. tag_len = 124 "}));
    EXPECT_EQ(c.root.prop("ril.start.utran.service"), ""); /* delete walks leave it */
}

TEST(UtranWalk, BridgeTagsCreateAndDeleteInOrderPastAFailure) {
    walk_child c;
    ASSERT_TRUE(c.run([] {
        dmi_channel taken = {};
        memcpy(taken.name, "ch_a", 5);
        platform_manager_dmi_create(&taken); /* the walk's first create fails */
        load(hdr().bridge("ch_a", 3).bridge("ch_b", 1, 0x100).bridge("abcdefghijkl", 7, 0x200).end().bytes);
        walk_image_tags(UTRAN_WALK_CREATE);
        walk_image_tags(UTRAN_WALK_DELETE);
    }));
    const std::string hs = " hs=8,1500,8,1500,5,6";
    EXPECT_EQ(dmi_lines(c.root),
              (texts{"DMI_CREATE name=ch_a type=0 property=0 cp2ap=0x0,0,0 ap2cp=0x0,0,0 hs=0,0,0,0,0,0 = 0",
                     "DMI_CREATE name=ch_a type=3 property=1 cp2ap=0x1000,4096,1 ap2cp=0x2000,4096,2" + hs + " = -1 EEXIST",
                     "DMI_CREATE name=ch_b type=1 property=1 cp2ap=0x1100,4096,1 ap2cp=0x2100,4096,2 hs=0,0,0,0,0,0 = 0",
                     "DMI_CREATE name=abcdefghijk type=7 property=1 cp2ap=0x1200,4096,1 ap2cp=0x2200,4096,2" + hs + " = 0",
                     "DMI_DELETE name=ch_a = 0", "DMI_DELETE name=ch_b = 0", "DMI_DELETE name=abcdefghijk = 0"}));

    texts bridge = c.utran("tag_bridge ");
    ASSERT_EQ(bridge.size(), 15u + 9u + 15u + 9u * 3);
    EXPECT_EQ(texts(bridge.begin(), bridge.begin() + 15),
              (texts{"tag_bridge name:ch_a ", "tag_bridge type:0x3 ", "tag_bridge property:0x1 ",
                     "tag_bridge cp2ap_ind:0x1 ", "tag_bridge cp2ap_addr:0x1000",
                     "tag_bridge cp2ap_size:0x1000 ", "tag_bridge ap2cp_ind:0x2 ",
                     "tag_bridge ap2cp_addr:0x2000 ", "tag_bridge ap2cp_size:0x1000 ",
                     "tag_bridge cp2ap_pkt_maxnum:0x8", "tag_bridge cp2ap_pkt_maxsize:0x5DC ",
                     "tag_bridge ap2cp_pkt_maxnum:0x8 ", "tag_bridge ap2cp_pkt_maxsize:0x5DC ",
                     "tag_bridge cp2ap_ctl_id:0x5 ", "tag_bridge ap2cp_ctl_id:0x6 "}));
    EXPECT_EQ(bridge[15], "tag_bridge name:ch_b ");
    EXPECT_EQ(bridge[24], "tag_bridge name:abcdefghijk ");
    EXPECT_EQ(bridge[39], "tag_bridge name:ch_a "); /* delete walk: nine lines each */
}

// Teardown can interrupt the very thread that holds the store's lock: the
// stop must neither wait on itself nor skip its work.
TEST(UtranWalk, StopGoesOnWithoutALockItCannotTake) {
    walk_child c;
    ASSERT_TRUE(c.run([] {
        load(hdr().bridge("ch_a", 1).end().bytes);
        start_utran_service();
        utran_store_lock();
        stop_utran_service();
        utran_store_unlock();
        load(hdr().bridge("ch_a", 1).end().bytes); /* stopped: stored only */
    }));
    EXPECT_EQ(dmi_lines(c.root).size(), 2u);
    EXPECT_EQ(dmi_lines(c.root).back(), "DMI_DELETE name=ch_a = 0");
    EXPECT_EQ(c.utran("stop_utran_service: "),
              texts(2, "stop_utran_service: image store lock not taken (error 35), going on without it"));
    EXPECT_EQ(c.root.prop("ril.start.utran.service"), "0");
}

}  // namespace
