/* The adapter as the phone builds it (no KOR_HOST_SIM, liblog sink) against
 * the host's: nothing of the simulation may be in the phone's library. */
#include <gtest/gtest.h>

#include <string>

#include "harness.h"

namespace {

/* Every symbol of the library, defined or referenced, local ones included. */
std::string symbols_of(const std::string &lib) {
    std::string out;
    EXPECT_EQ(korvtest::run_tool({"/bin/sh", "-c", "nm -C " + lib + " && nm -D " + lib}, &out), 0) << lib;
    return out;
}

TEST(PhoneBuild, AdapterCarriesNoDriverEmulationAndNoRootMapping) {
    const std::string host = korvtest::bin_path("../lib/libkor_adapter.so");
    const std::string phone = korvtest::bin_path("../lib/phone/libkor_adapter.so");
    const std::string host_syms = symbols_of(host), phone_syms = symbols_of(phone);
    const std::string phone_bytes = korvtest::read_file(phone);
    ASSERT_FALSE(phone_syms.empty());

    /* The host build has them, so their absence below is the switch's doing. */
    for (const char *sym : {"modem_sim_ioctl", "modem_sim_is_modem_fd", "seam_root_read", "seam_map_command"}) {
        EXPECT_NE(host_syms.find(sym), std::string::npos) << sym << " missing from the host adapter";
        EXPECT_EQ(phone_syms.find(sym), std::string::npos) << sym << " in the phone's adapter";
    }
    EXPECT_NE(korvtest::read_file(host).find("KORV_ROOT"), std::string::npos);
    EXPECT_EQ(phone_bytes.find("KORV_ROOT"), std::string::npos) << "the phone's adapter reads KORV_ROOT";
    EXPECT_EQ(phone_syms.find("modem_sim"), std::string::npos);

    /* Its lines go to liblog; the seam's interface is still all there. */
    EXPECT_NE(phone_syms.find("__android_log_buf_write"), std::string::npos);
    for (const char *sym : {"kor_open", "kor_ioctl", "kor_system", "kor_path_map", "kor_root"})
        EXPECT_NE(phone_syms.find(std::string(" T ") + sym), std::string::npos) << sym;
}

}  // namespace
