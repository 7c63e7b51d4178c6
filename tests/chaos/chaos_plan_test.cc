// The chaos plan: one seed, one script and fault schedule; every step valid
// where it stands (a stop only after its start), and every entry of the run
// unique, so that a file's bytes always name the entry they came from.
#include <set>

#include <gtest/gtest.h>

#include "chaos_plan.h"

using namespace korvsim;

namespace {

std::vector<std::string> plan_text(uint64_t seed, int n) {
    chaos_plan p;
    chaos_plan_init(&p, seed);
    std::vector<std::string> out;
    for (int i = 0; i < n; i++) {
        chaos_step s = chaos_plan_next(&p);
        std::string line = chaos_step_text(s);
        for (const chaos_entry &e : chaos_burst_entries(s)) line += " " + chaos_entry_text(e.seq, e.file, e.slot);
        out.push_back(line);
    }
    return out;
}

TEST(ChaosPlan, SameSeedSamePlanOtherSeedOtherPlan) {
    EXPECT_EQ(plan_text(20261207, 500), plan_text(20261207, 500));
    EXPECT_NE(plan_text(20261207, 500), plan_text(20261208, 500));
}

TEST(ChaosPlan, StepsValidWhereTheyStandAndEntriesUnique) {
    chaos_plan p;
    chaos_plan_init(&p, 99);
    bool utran = false, capture = false, full = false;
    std::set<uint32_t> seqs;
    std::set<int> kinds;
    for (int i = 0; i < 2000; i++) {
        chaos_step s = chaos_plan_next(&p);
        kinds.insert(s.kind);
        switch (s.kind) {
        case CK_UTRAN_STOP: EXPECT_TRUE(utran) << "step " << i; utran = false; break;
        case CK_UTRAN_START: EXPECT_FALSE(utran) << "step " << i; utran = true; break;
        case CK_CAPTURE_STOP: EXPECT_TRUE(capture) << "step " << i; capture = false; break;
        case CK_CAPTURE_START: EXPECT_FALSE(capture) << "step " << i; capture = true; break;
        case CK_DATA_EMPTY: EXPECT_TRUE(full) << "step " << i; full = false; break;
        case CK_DATA_FILL: EXPECT_FALSE(full) << "step " << i; full = true; break;
        case CK_PLANT_LINK: case CK_PLANT_FIFO: capture = false; break;
        case CK_POWERCUT: full = false; [[fallthrough]];
        case CK_SIGTERM: case CK_SIGKILL: case CK_EXCEPTION: case CK_AT_TIMEOUT: case CK_LINK_DROP:
            utran = capture = false;
            break;
        default: break;
        }
        for (const chaos_entry &e : chaos_burst_entries(s)) {
            EXPECT_TRUE(seqs.insert(e.seq).second) << "entry #" << e.seq << " twice";
            EXPECT_LT(e.slot, k_chaos_slots);
            EXPECT_EQ(chaos_entry_text(e.seq, e.file, e.slot).size(), k_chaos_entry);
        }
    }
    EXPECT_EQ(kinds.size(), (size_t)CK_COUNT) << "every kind of step is drawn";
}

}  // namespace
