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

TEST(ScriptLanguage, RegistrationLinesCarryTheirArgumentsInAnyOrder)
{
    Command provider = Parse("provider cam stream=0x104 size=4096 info=video,2,30,263");
    EXPECT_EQ(provider.op, Op::Provider);
    EXPECT_EQ(provider.line, 7);
    EXPECT_EQ(provider.name, "cam");
    EXPECT_EQ(provider.stream, 0x104u);
    EXPECT_EQ(provider.size, 4096u);
    EXPECT_EQ(provider.info.kind, InfoSpec::Video);
    EXPECT_EQ(provider.info.frameSize, 2);
    EXPECT_EQ(provider.info.frameRate, 30);
    EXPECT_EQ(provider.info.compStandard, 263);

    Command audio = Parse("provider mic size=160 info=audio,711 stream=2");
    EXPECT_EQ(audio.stream, 2u);
    EXPECT_EQ(audio.info.kind, InfoSpec::Audio);
    EXPECT_EQ(audio.info.compStandard, 711);
    EXPECT_EQ(Parse("provider p stream=1 size=1").info.kind, InfoSpec::None);
    EXPECT_EQ(Parse("provider p stream=1 size=1 info=none").info.kind, InfoSpec::None);

    Command consumer = Parse("consumer disp handle=0xFFFFFFFFFFFFFFFF stream=6");
    EXPECT_EQ(consumer.op, Op::Consumer);
    EXPECT_EQ(consumer.handle, UINT64_MAX);
    EXPECT_EQ(consumer.stream, 6u);
}

TEST(ScriptLanguage, CommentsBlankLinesAndSpacingAreIgnored)
{
    EXPECT_FALSE(ParseLine("", 1).command.has_value());
    EXPECT_FALSE(ParseLine("   \t ", 1).command.has_value());
    EXPECT_FALSE(ParseLine("# load", 1).command.has_value());
    EXPECT_EQ(ParseLine("# load", 1).error, "");
    Command provide = Parse("  provide   cam\t600   # one frame");
    EXPECT_EQ(provide.op, Op::Provide);
    EXPECT_EQ(provide.value, 600u);
}

TEST(ScriptLanguage, NotificationsTakeBothWordsNoneOrAnInformationBlock)
{
    Command plain = Parse("notify cam 21");
    EXPECT_FALSE(plain.hasWords);
    Command words = Parse("notify disp 20 0x10 -1");
    EXPECT_TRUE(words.hasWords);
    EXPECT_EQ(words.words[0], 0x10u);
    EXPECT_EQ(words.words[1], 0xFFFFFFFFu);
    Command info = Parse("notify cam 5 info=video,2,15,263");
    EXPECT_TRUE(info.hasInfo);
    EXPECT_EQ(info.info.frameRate, 15);
    EXPECT_EQ(ErrorOf("notify cam 20 1"), "notify: give both words or none (usage: notify <name> <code> "
                                          "[<word0> <word1>] [info=...])");
    EXPECT_EQ(ErrorOf("notify cam 4 info=audio,711"), "notify: info= goes only with code 5");
}

TEST(ScriptLanguage, ControlRequestsAndTheirOptions)
{
    Command range = Parse("print-streams -1 300");
    EXPECT_EQ(range.from, -1);
    EXPECT_EQ(range.to, 300);
    Command bandwidth = Parse("bandwidth 1 trial=289");
    EXPECT_EQ(bandwidth.value, 1u);
    EXPECT_EQ(bandwidth.trial, 289u);
    EXPECT_EQ(Parse("bandwidth 2").trial, 300u) << "a trial lasts 30 ms unless the script says otherwise";
    Command ioctl = Parse("ioctl 0x00222028 07000000 0a 000000");
    EXPECT_EQ(ioctl.value, 0x00222028u);
    EXPECT_EQ(ioctl.bytes, (std::vector<uint8_t>{7, 0, 0, 0, 10, 0, 0, 0}));
    Command fail = Parse("fail-alloc 2 tag=Trcd");
    EXPECT_EQ(fail.value, 2u);
    EXPECT_EQ(fail.tag, "Trcd");
    EXPECT_EQ(Parse("tick 0xFFFFFFFF80000000").value, 0xFFFFFFFF80000000ull);
    EXPECT_EQ(Parse("level STREAM 9").value, 9u);
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
    EXPECT_EQ(ErrorOf("provide cam 4294967296"), "provide: bad byte count '4294967296' (a number from 0 to "
                                                 "4294967295, decimal or 0x-hex)");
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
    EXPECT_EQ(ErrorOf("ioctl 0x10 abc"), "ioctl: bad hex bytes 'abc' (an even number of hex digits)");
    EXPECT_EQ(ErrorOf("fail-alloc 1 tag=TooLong"), "fail-alloc: a pool tag has 1 to 4 characters ('Trcd', 'Wdm')");
    EXPECT_EQ(ErrorOf("bandwidth 1 trials=3"), "bandwidth: unexpected argument 'trials=3' (expected trial=)");
}

TEST(ScriptLanguage, NumbersAreDecimalOrHexWithinTheirRange)
{
    EXPECT_EQ(ParseNumber("0", 10), 0u);
    EXPECT_EQ(ParseNumber("0x1F", 100), 31u);
    EXPECT_EQ(ParseNumber("0X1f", 100), 31u);
    EXPECT_EQ(ParseNumber("18446744073709551615", UINT64_MAX), UINT64_MAX);
    EXPECT_FALSE(ParseNumber("18446744073709551616", UINT64_MAX));
    EXPECT_FALSE(ParseNumber("11", 10));
    EXPECT_FALSE(ParseNumber("-1", 10));
    EXPECT_FALSE(ParseNumber("1f", 100)) << "hex needs its 0x";
    EXPECT_FALSE(ParseNumber("", 100));
}

} // namespace
} // namespace sim

namespace sim {
namespace {

TEST(StableAddresses, EveryPointerTheDriverPrintsBecomesOneWordAndHandlesStay)
{
    EXPECT_EQ(StableAddresses("0 [2]DEVIDIDI-STREAM: The Provider => provided 10 bytes since previous Get Status, "
                              "(Pointer=0x5a3c2018) (Tail position=10)"),
              "0 [2]DEVIDIDI-STREAM: The Provider => provided 10 bytes since previous Get Status, "
              "(Pointer=<address>) (Tail position=10)");
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
