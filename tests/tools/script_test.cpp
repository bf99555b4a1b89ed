// The simulator's script language: what each line means, and the exact reason a bad one gives.
#include <gtest/gtest.h>

#include "names.h"
#include "script.h"

namespace sim {
namespace {

Command Parse(const std::string &line)
{
    ParseResult result = ParseLine(line, 7);
    EXPECT_EQ(result.error, "") << line;
    EXPECT_TRUE(result.command.has_value()) << line;
    return result.command.value_or(Command{});
}

std::string ErrorOf(const std::string &line)
{
    ParseResult result = ParseLine(line, 1);
    EXPECT_FALSE(result.command.has_value()) << line;
    return result.error;
}

// The example scripts run every command whole; these are the forms they do not use.
TEST(ScriptLanguage, ArgumentsInAnyOrderCommentsAndTheRarerForms)
{
    Command audio = Parse("  provider mic size=160\tinfo=audio,711 stream=2   # one frame");
    EXPECT_EQ(audio.op, Op::Provider);
    EXPECT_EQ(audio.line, 7);
    EXPECT_EQ(audio.stream, 2u);
    EXPECT_EQ(audio.size, 160u);
    EXPECT_EQ(audio.info.kind, InfoSpec::Audio);
    EXPECT_EQ(audio.info.compStandard, 711);
    EXPECT_EQ(Parse("provider p stream=1 size=1 info=none").info.kind, InfoSpec::None);
    EXPECT_EQ(Parse("consumer disp handle=0xFFFFFFFFFFFFFFFF stream=6").handle, UINT64_MAX);
    for (const char *blank : {"", "   \t ", "# load"}) {
        ParseResult result = ParseLine(blank, 1);
        EXPECT_FALSE(result.command.has_value()) << blank;
        EXPECT_EQ(result.error, "") << blank;
    }
    EXPECT_FALSE(Parse("notify cam 21").hasWords);
    Command words = Parse("notify disp 20 0x10 -1");
    EXPECT_TRUE(words.hasWords);
    EXPECT_EQ(words.words[0], 0x10u);
    EXPECT_EQ(words.words[1], 0xFFFFFFFFu);
    EXPECT_EQ(Parse("bandwidth 2").trial, 300u) << "a trial lasts 30 ms unless the script says otherwise";
    EXPECT_EQ(Parse("ioctl 0x00222028 07000000 0a 000000").bytes, (std::vector<uint8_t>{7, 0, 0, 0, 10, 0, 0, 0}));
    Command exact = Parse("ioctl 0x0022200C record=valid out=3 in=0a0b0c");
    EXPECT_TRUE(exact.exact);
    EXPECT_EQ(exact.bytes, (std::vector<uint8_t>{10, 11, 12}));
    EXPECT_EQ(exact.outLength, 3u);
    EXPECT_EQ(exact.record, Command::Record::Valid);
    // Who sends a control request is said anywhere after the command word and changes nothing else.
    Command hostile = Parse("ioctl 0x00222004 from=user in=02 record=hostile");
    EXPECT_TRUE(hostile.fromUser && hostile.exact);
    EXPECT_EQ(hostile.record, Command::Record::Hostile);
    EXPECT_EQ(Parse("ioctl 0x00222028 07000000 from=user").bytes, (std::vector<uint8_t>{7, 0, 0, 0}));
    EXPECT_FALSE(Parse("bandwidth 1 from=kernel trial=2").fromUser);
    EXPECT_FALSE(Parse("print-streams -1 2").fromUser);
    Command chance = Parse("fail-alloc p=0.05 seed=7 tag=Trcd");
    EXPECT_TRUE(chance.probability);
    EXPECT_DOUBLE_EQ(chance.p, 0.05);
    EXPECT_EQ(chance.seed, 7u);
    EXPECT_EQ(chance.tag, "Trcd");
}

TEST(ScriptLanguage, BadLinesSayWhatIsWrong)
{
    EXPECT_EQ(ErrorOf("frobnicate"), "unknown command 'frobnicate'");
    EXPECT_EQ(ErrorOf("load now"), "load takes no argument");
    EXPECT_EQ(ErrorOf("level Entry 3"), "level: unknown module 'Entry' (one of DEVIDIDI ENTRY PROVIDER_CLIENT "
                                        "CONSUMER_CLIENT OAPI_PROVIDER OAPI_CONSUMER PROVIDER_INFO CONSUMER_INFO "
                                        "STREAM)");
    EXPECT_EQ(ErrorOf("provide cam 0x"), "provide: bad byte count '0x' (a number from 0 to 4294967295, decimal "
                                         "or 0x-hex)");
    EXPECT_EQ(ErrorOf("provider cam size=10"), "provider: missing stream= (usage: provider <name> stream=<h> "
                                               "size=<n> [info=video,<FrameSize>,<FrameRate>,<CompStandard> | "
                                               "info=audio,<CompStandard> | info=none])");
    EXPECT_EQ(ErrorOf("consumer c stream=1 handle=2 size=3"),
              "consumer: unexpected argument 'size=3' (expected stream=, handle=)");
    EXPECT_EQ(ErrorOf("consumer c stream=1 stream=2 handle=2"), "consumer: stream= given twice");
    EXPECT_EQ(ErrorOf("provider cam stream=1 size=8 info=video,2,30"),
              "provider: bad info=video,2,30: expected info=video,<FrameSize>,<FrameRate>,<CompStandard>, "
              "info=audio,<CompStandard> or info=none");
    EXPECT_EQ(ErrorOf("open a/b"), "open: bad client name 'a/b' (letters, digits, '-', '_', '.')");
    EXPECT_EQ(ErrorOf("debug-service maybe"), "usage: debug-service present|absent");
    EXPECT_EQ(ErrorOf("fail-alloc 1 tag=TooLong"), "fail-alloc: a pool tag has 1 to 4 characters ('Trcd', 'Wdm')");
    EXPECT_EQ(ErrorOf("fail-alloc p=0.5"), "fail-alloc: p= needs seed= too, so that the run can be repeated");
    EXPECT_EQ(ErrorOf("fail-alloc p=2 seed=1"), "fail-alloc: bad probability '2' (a number from 0 to 1, e.g. 0.05)");
    EXPECT_EQ(ErrorOf("ioctl 0x10 in=abc"), "ioctl: in=: bad hex bytes 'abc' (an even number of hex digits)");
    EXPECT_EQ(ErrorOf("ioctl 0x10 out=1 record=long"), "ioctl: bad record='long' (null, short, valid or hostile)");
    EXPECT_EQ(ErrorOf("ioctl 0x00222004 stream=2 cut=half"),
              "ioctl: bad cut='half' (field: one field short, byte: one byte short)");
    EXPECT_EQ(ErrorOf("ioctl 0x00222004 stream=0x100000000 cut=byte"),
              "ioctl: bad stream= '0x100000000' (a number from 0 to 4294967295, decimal or 0x-hex)");
    EXPECT_EQ(ErrorOf("ioctl 0x10 from=root"), "ioctl: bad from='root' (user or kernel)");
    EXPECT_EQ(ErrorOf("resync from=user from=user"), "resync: from= given twice");
    EXPECT_EQ(ErrorOf("print-status now"), "print-status takes no argument but from=");
    EXPECT_EQ(ErrorOf("consumer c stream=1 handle=2 from=user"),
              "consumer: unexpected argument 'from=user' (expected stream=, handle=)");
    EXPECT_EQ(ErrorOf("notify cam 20 1"), "notify: give both words or none (usage: notify <name> <code> "
                                          "[<word0> <word1>] [info=...])");
    EXPECT_EQ(ErrorOf("notify cam 4 info=audio,711"), "notify: info= goes only with code 5");
    EXPECT_EQ(ErrorOf("user-requests fresh 0x10 in=257 out=0"),
              "user-requests: bad input length '257' (a number from 0 to 256, decimal or 0x-hex)");
}

TEST(ScriptLanguage, NumbersAreDecimalOrHexWithinTheirRange)
{
    EXPECT_EQ(ParseNumber("0X1f", 100), 31u);
    EXPECT_EQ(ParseNumber("18446744073709551615", UINT64_MAX), UINT64_MAX);
    EXPECT_FALSE(ParseNumber("18446744073709551616", UINT64_MAX));
    EXPECT_FALSE(ParseNumber("11", 10));
    EXPECT_FALSE(ParseNumber("-1", 10));
    EXPECT_FALSE(ParseNumber("1f", 100)) << "hex needs its 0x";
    EXPECT_FALSE(ParseNumber("", 100));
}

TEST(StableAddresses, EveryPointerTheDriverPrintsBecomesOneWordAndHandlesStay)
{
    EXPECT_EQ(StableAddresses("ProvideData: ERROR --- Stream 4 failed to provide data to its consumers "
                              "(ProviderBuffer=7ffc1230, dwSize=9000)"),
              "ProvideData: ERROR --- Stream 4 failed to provide data to its consumers "
              "(ProviderBuffer=<address>, dwSize=9000)");
    EXPECT_EQ(StableAddresses("TermNewDel(...): address 0x00000118: 'new' without 'delete' (devididi:12)"),
              "TermNewDel(...): address <address>: 'new' without 'delete' (devididi:12)");
    EXPECT_EQ(StableAddresses("(address=0xdeadbeef, cookie=0xDEADBABE, ...) (address=0x1)"),
              "(address=<address>, cookie=0xDEADBABE, ...) (address=<address>)");
    const std::string handles = "RegisterConsumer: Consumer 0x00000041 completed registering to stream 4";
    EXPECT_EQ(StableAddresses(handles), handles);
}

} // namespace
} // namespace sim
