/* Messages as text: the decoded line of every command, building messages
 * from "key=value" words, and checking fields of received messages. */
#include <gtest/gtest.h>

#include "fwmd.h"
#include "kor_msg_cmd.h"

namespace {

fwmd_msg parsed(const std::string &line, int *channel = nullptr)
{
    fwmd_msg m;
    int ch;
    std::string err;
    EXPECT_EQ(fwmd_parse_message_line(line, &ch, &m, &err), 0) << line << ": " << err;
    if (channel)
        *channel = ch;
    std::vector<uint8_t> rec = fwmd_encode(m);
    EXPECT_EQ(fwmd_decode(rec.data() + 4, rec.size() - 4, &m), 0);
    return m;
}

std::string error_of(const std::string &line)
{
    fwmd_msg m;
    int ch;
    std::string err;
    EXPECT_EQ(fwmd_parse_message_line(line, &ch, &m, &err), -1) << line;
    return err;
}

TEST(FwmdText, EveryKnownCommandPrintsItsFieldsByName)
{
    struct {
        const char *line, *printed;
    } cases[] = {
        {"nv MWRX_WFMGR_NV_MODIFY_IND wf_id=7 src=0 dst=0 entry=0:7:16:ABCD",
         "MWRX_WFMGR_NV_MODIFY_IND [len:60 wf_id:7 src:0 dst:0 body_len:24] N=1 entry[0].flag=0 entry[0].wf_id=7 "
         "entry[0].offset=16 entry[0].len=4 entry[0].data=\"ABCD\""},
        {"work MWRX_WF_CARD_POWERON_REPORT_REQ card_index=1 vol_type=2", "card_index=1 vol_type=2"},
        {"work MWRX_WFMGR_WFCFG_IND info=hex:0001ff", "size=3 info=hex:0001ff"},
        {"work MWRX_WFMGR_KORGR_WF_TYPE_IND status=1 type=1", "status=1 type=1"},
        {"nv MWRX_WFMGR_COMM_PATH_INFO_IND selector=1 wf_id=7 wf_name=LTEP2P wf_path=/data/w/ "
         "nv_file_name=nv.bin",
         "selector=1 wf_id=7 wf_name=\"LTEP2P\" wf_path=\"/data/w/\" nv_file_name=\"nv.bin\""},
        {"nv MWRX_WFMGR_COMM_PATH_INFO_IND selector=0 wf_id=-1", "selector=0 wf_id=0xFFFFFFFF"},
        {"nv MWRX_WFMGR_LOAD_REQ u32_flag=1 u32_req_len=4096 u32_dst_addr=0x100000 name=u.bin",
         "u32_flag=1 u32_req_len=4096 u32_read_len=0 u32_dst_addr=0x100000 u32_file_len=0 "
         "u32_filename_len=5 name=\"u.bin\""},
        {"nv MWRX_WFMGR_LOAD_CNF flag=1 count=4096", "flag=1 count=4096 reserved=0"},
        {"nv MWRX_WFMGR_NV_MODIFY_IND entry=1:2:3:hex:00ff entry=0:-1:0:", 
         "N=2 entry[0].flag=1 entry[0].wf_id=2 entry[0].offset=3 entry[0].len=2 entry[0].data=hex:00ff "
         "entry[1].flag=0 entry[1].wf_id=0xFFFFFFFF entry[1].offset=0 entry[1].len=0 entry[1].data=\"\""},
        {"work MWRX_WFMGR_FW_EXCEPTION_REQ", "body_len:0]"},
        {"work 0x55 wf_id=3 body=hex:0102", "0x00000055 [len:38 wf_id:3 src:1 dst:2 body_len:2] body=hex:0102"},
        /* what korv gets wrong shows too */
        {"work MWRX_WFMGR_WFCFG_IND size=13 info=ABC", "size=13 (body ends early) extra=hex:414243"},
        {"work MWRX_WFMGR_KORGR_WF_TYPE_IND body=hex:01000000010000000203", "type=1 extra=hex:0203"},
    };
    size_t n;
    const fwmd_cmd_info *table = fwmd_cmd_table(&n);
    for (size_t i = 0; i < n; i++) {
        fwmd_msg m;
        m.msg_cmd = table[i].code;
        EXPECT_EQ(fwmd_format(m).rfind(table[i].name, 0), 0u) << table[i].name;
        EXPECT_EQ(fwmd_cmd_find(table[i].code), &table[i]);
    }
    for (const auto &c : cases) {
        int ch = -1;
        std::string text = fwmd_format(parsed(c.line, &ch));
        EXPECT_NE(text.find(c.printed), std::string::npos) << c.line << "\n  printed: " << text;
        EXPECT_EQ(ch, c.line[0] == 'n' ? FWMD_NV : FWMD_WORK) << c.line;
    }
}

TEST(FwmdText, BadMessagesAreRefusedWithAReason)
{
    struct {
        const char *line, *reason;
    } cases[] = {
        {"modem MWRX_WFMGR_LOAD_CNF", "unknown channel 'modem'"},
        {"nv MWRX_NOTHING", "unknown command 'MWRX_NOTHING'"},
        {"nv MWRX_WFMGR_LOAD_CNF flg=1", "no field 'flg'"},
        {"nv MWRX_WFMGR_LOAD_CNF flag=1 flag=2", "given twice"},
        {"work MWRX_WF_CARD_POWERON_REPORT_REQ card_index=256", "not a number up to 255"},
        {"nv MWRX_WFMGR_COMM_PATH_INFO_IND selector=0 wf_name=x", "needs selector=1"},
        {"nv MWRX_WFMGR_NV_MODIFY_IND entry=1:2:ABCD", "expected flag:wf_id:offset:data"},
        {"nv MWRX_WFMGR_LOAD_CNF len=4", "filled in when the message is sent"},
        {"nv MWRX_WFMGR_LOAD_CNF flag=1 body=hex:00", "replaces the whole body"},
        {"nv 0x55 x=1", "no known fields"},
        {"nv MWRX_WFMGR_WFCFG_IND info=a\\q", "bad escape"},
        {"nv MWRX_WFMGR_WFCFG_IND \"info=open", "unterminated quote"},
    };
    for (const auto &c : cases)
        EXPECT_NE(error_of(c.line).find(c.reason), std::string::npos)
            << c.line << "\n  error: " << error_of(c.line);
}

TEST(FwmdText, ValuesWordsAndChecks)
{
    std::vector<std::string> w;
    std::string err;
    ASSERT_EQ(fwmd_tokenize("  send nv \"a b\" k=\"x \\\"y\\\"\" # rest", &w, &err), 0);
    EXPECT_EQ(w, (std::vector<std::string>{"send", "nv", "a b", "k=x \"y\""}));

    std::vector<uint8_t> b;
    EXPECT_EQ(fwmd_parse_bytes("u32:2", &b, &err), 0);
    EXPECT_EQ(b, (std::vector<uint8_t>{2, 0, 0, 0}));
    EXPECT_EQ(fwmd_parse_bytes("ME\\x02\\0\\n", &b, &err), 0);
    EXPECT_EQ(b, (std::vector<uint8_t>{'M', 'E', 2, 0, '\n'}));
    EXPECT_EQ(fwmd_parse_bytes("u8:256", &b, &err), -1);
    EXPECT_EQ(fwmd_parse_bytes("file:/nonexistent/x", &b, &err), -1);

    uint64_t v;
    EXPECT_EQ(fwmd_parse_number("-1", 0xFFFFFFFF, &v), 0);
    EXPECT_EQ(v, 0xFFFFFFFFu);
    EXPECT_EQ(fwmd_parse_number("0X1f", 255, &v), 0);
    EXPECT_EQ(v, 31u);
    EXPECT_EQ(fwmd_parse_number("12a", 1000, &v), -1);
    EXPECT_EQ(fwmd_parse_number("", 1000, &v), -1);

    /* a printed text value reads back as the same bytes */
    fwmd_msg m = parsed("nv MWRX_WFMGR_LOAD_REQ wf_id=7 name=\"a\\x22b\\x00\"");
    std::string seen;
    EXPECT_NE(fwmd_format(m).find("name=\"a\\x22b\\x00\""), std::string::npos) << fwmd_format(m);
    EXPECT_EQ(fwmd_check_field(m, "name", "a\\x22b\\0", &seen), 1) << seen;
    EXPECT_EQ(fwmd_check_field(m, "wf_id", "7", &seen), 1) << "the header's, as the body has none";
    EXPECT_EQ(fwmd_check_field(m, "hdr.len", "64", &seen), 1) << seen;
    EXPECT_EQ(fwmd_check_field(m, "u32_filename_len", "4", &seen), 1) << seen;
    EXPECT_EQ(fwmd_check_field(m, "u32_flag", "1", &seen), 0);
    EXPECT_EQ(seen, "0");
    EXPECT_EQ(fwmd_check_field(m, "nothing", "1", &seen), -1);

    m = parsed("nv MWRX_WFMGR_COMM_PATH_INFO_IND hdr.wf_id=3 selector=1 wf_id=7 wf_name=LTE");
    EXPECT_EQ(m.wf_id, 3u);
    EXPECT_EQ(fwmd_check_field(m, "wf_id", "7", &seen), 1) << "the body's wf_id";
    EXPECT_EQ(fwmd_check_field(m, "wf_name", "LTE", &seen), 1) << "padding is not compared";
    EXPECT_EQ(fwmd_check_field(m, "wf_name", "LT", &seen), 0);
    m = parsed("nv MWRX_WFMGR_NV_MODIFY_IND entry=0:7:16:ABCD");
    EXPECT_EQ(fwmd_check_field(m, "entry[0].data", "ABCD", &seen), 1);
    EXPECT_EQ(fwmd_check_field(m, "entry[1].data", "ABCD", &seen), 0);
    EXPECT_EQ(seen, "(absent)");
}

}  // namespace
