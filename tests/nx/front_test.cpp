// The front of the transfer component against a fake engine in the entry table: creation and its
// failure, the defaults, property reads and writes, raising, and the event sink.

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "nx/nxhttp.h"
#include "util/text.h"

namespace {

// The fake engine: records what the front asks and answers as the test says.
struct FakeEngine {
    struct SetCall {
        int id;
        bool text;
        std::string textValue;
        std::intptr_t value;
    };
    std::vector<SetCall> sets;
    int refuseSetOfId = 0;  // HTTP_Set of this id answers refuseCode
    int refuseCode = 0;
    int throwOnSetOfId = 0;  // HTTP_Set of this id throws
    std::string lastError = "the engine says no";
    std::intptr_t getResult = 0;
    int destroyed = 0;
    int doCalls = 0;
    int doMethod = 0;
    std::string doArgument;
    int doResult = 0;
    void* context = nullptr;
    nx::EventSink sink = nullptr;
};
FakeEngine* fake = nullptr;

bool IsText(int id) {
    switch (id) {
    case 1:
    case 10:
    case 11:
    case 14:
    case 20:
    case 21:
    case 23:
    case 27:
    case 29:
    case 30:
    case 31:
    case 37:
    case 42: return true;
    default: return false;
    }
}

nx::EngineHandle NX_CALL FakeCreate(nx::EventSink sink, void* context, std::intptr_t) {
    fake->sink = sink;
    fake->context = context;
    return 1234;
}
void NX_CALL FakeDestroy(nx::EngineHandle handle) {
    EXPECT_EQ(handle, 1234);
    ++fake->destroyed;
}
int NX_CALL FakeSet(nx::EngineHandle handle, int id, int index, std::intptr_t value, int length) {
    EXPECT_EQ(handle, 1234);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(length, 0);
    FakeEngine::SetCall call{id, IsText(id), "", value};
    if (call.text) call.textValue = reinterpret_cast<const char*>(value);
    fake->sets.push_back(call);
    if (id == fake->throwOnSetOfId) throw std::runtime_error("engine failure");
    return id == fake->refuseSetOfId ? fake->refuseCode : 0;
}
std::intptr_t NX_CALL FakeGet(nx::EngineHandle, int, int index, int* length) {
    EXPECT_EQ(index, 0);
    EXPECT_EQ(length, nullptr);
    return fake->getResult;
}
const char* NX_CALL FakeLastError(nx::EngineHandle) { return fake->lastError.c_str(); }
int NX_CALL FakeDo(nx::EngineHandle, int method, int count, std::intptr_t* values, int* lengths) {
    ++fake->doCalls;
    fake->doMethod = method;
    if (count == 1) {
        fake->doArgument = reinterpret_cast<const char*>(values[0]);
        EXPECT_EQ(lengths[0], 0);
    }
    return fake->doResult;
}

nx::EngineEntries FakeEntries() {
    nx::EngineEntries e;
    e.HTTP_Create = &FakeCreate;
    e.HTTP_Destroy = &FakeDestroy;
    e.HTTP_Set = &FakeSet;
    e.HTTP_Get = &FakeGet;
    e.HTTP_GetLastError = &FakeLastError;
    e.HTTP_Do = &FakeDo;
    return e;
}

class FrontTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake = &engine;
        nx::HttpEngineEntries() = FakeEntries();
    }
    void TearDown() override {
        nx::HttpEngineEntries() = nx::EngineEntries{};
        fake = nullptr;
    }
    FakeEngine engine;
};

TEST_F(FrontTest, WithoutAnEngineCreationRaisesTheCreationError) {
    for (int variant = 0; variant < 2; ++variant) {
        // The whole table empty, or every entry but HTTP_Create.
        nx::HttpEngineEntries() = FakeEntries();
        nx::HttpEngineEntries().HTTP_Create = nullptr;
        if (variant == 0) nx::HttpEngineEntries() = nx::EngineEntries{};
        try {
            TnxHTTP http;
            FAIL() << "creation succeeded";
        } catch (const EnxHTTP& e) {
            EXPECT_EQ(e.Code(), -1);
            EXPECT_EQ(e.Message(), "-1: NetXfer HTTP: Error creating component");
        }
        EXPECT_EQ(engine.destroyed, 0);
        EXPECT_TRUE(engine.sets.empty());
    }
}

TEST_F(FrontTest, CreationWritesEveryDefaultInOrderAndARefusedOneDoesNotStopIt) {
    engine.refuseSetOfId = 10;  // FirewallHost, the third default
    engine.refuseCode = 7;
    engine.throwOnSetOfId = 28;  // ProxyPort: the write throws
    TnxHTTP http;
    EXPECT_EQ(http.Handle(), 1234);
    EXPECT_EQ(engine.context, &http);
    EXPECT_EQ(engine.sink, &TnxHTTP::EventSink);
    const std::vector<std::pair<int, std::intptr_t>> expected = {{1, 0},  {4, 0},  {10, 0}, {11, 0},  {12, 0}, {13, 0},
                                                                 {14, 0}, {15, 0}, {20, 0}, {23, 0},  {27, 0}, {28, 80},
                                                                 {29, 0}, {30, 0}, {31, 0}, {34, 60}, {37, 0}, {42, 0}};
    ASSERT_EQ(engine.sets.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(engine.sets[i].id, expected[i].first) << "default " << i;
        if (engine.sets[i].text) {
            EXPECT_EQ(engine.sets[i].textValue, "") << "default " << i;
        } else {
            EXPECT_EQ(engine.sets[i].value, expected[i].second) << "default " << i;
        }
    }
}

TEST_F(FrontTest, DestructionDestroysTheEngineObjectUnlessTheEntryIsGone) {
    { TnxHTTP http; }
    EXPECT_EQ(engine.destroyed, 1);
    {
        TnxHTTP http;
        nx::HttpEngineEntries() = nx::EngineEntries{};  // released before the component goes
    }
    EXPECT_EQ(engine.destroyed, 1);
}

TEST_F(FrontTest, RefusedWritesAndOperationsRaiseWithTheEnginesLastErrorText) {
    TnxHTTP http;
    engine.refuseSetOfId = 28;
    engine.refuseCode = 42;
    engine.lastError = "port out of range";
    try {
        http.SetProxyPort(70000);
        FAIL() << "no exception";
    } catch (const EnxHTTP& e) {
        EXPECT_EQ(e.Code(), 42);
        EXPECT_EQ(e.Message(), "42: port out of range");
    }
    engine.doResult = 404;
    engine.lastError = "Not Found";
    try {
        http.Get("http://host/karedona/a.ex_");
        FAIL() << "no exception";
    } catch (const EnxHTTP& e) {
        EXPECT_EQ(e.Code(), 404);
        EXPECT_EQ(e.Message(), "404: Not Found");
    }
    EXPECT_EQ(engine.doMethod, 4);
    EXPECT_EQ(engine.doArgument, "http://host/karedona/a.ex_");
    engine.doResult = 0;
    http.Interrupt();
    EXPECT_EQ(engine.doMethod, 6);
    http.Reset();
    EXPECT_EQ(engine.doMethod, 9);
}

TEST_F(FrontTest, ReadsConvertTheEnginesValues) {
    TnxHTTP http;
    engine.getResult = 0;  // a null text
    EXPECT_EQ(http.ProxyServer(), "");
    EXPECT_FALSE(http.Connected());
    static const char proxy[] = "proxy.example";
    engine.getResult = reinterpret_cast<std::intptr_t>(proxy);
    EXPECT_EQ(http.ProxyServer(), "proxy.example");
    engine.getResult = 2;
    EXPECT_TRUE(http.Connected());
    engine.getResult = 8080;
    EXPECT_EQ(http.ProxyPort(), 8080);
    engine.getResult = 2;
    EXPECT_EQ(http.FollowRedirects(), frSameScheme);
}

TEST_F(FrontTest, TextsCrossTheEntriesInTheAnsiCodePage) {
    if (GetACP() != 932) GTEST_SKIP() << "needs the Japanese code page (LC_ALL=ja_JP.UTF-8)";
    TnxHTTP http;
    engine.sets.clear();
    http.SetLocalFile("C:\\作業\\a.ex_");
    ASSERT_EQ(engine.sets.size(), 1u);
    EXPECT_EQ(engine.sets[0].textValue, "C:\\\x8d\xec\x8b\xc6\\a.ex_");
    static const char sjis[] = "\x83\x76\x83\x8d\x83\x4c\x83\x56";  // プロキシ
    engine.getResult = reinterpret_cast<std::intptr_t>(sjis);
    EXPECT_EQ(http.ProxyServer(), "プロキシ");
}

TEST_F(FrontTest, MissingEntriesMakeReadsEmptyAndWritesAndOperationsDoNothing) {
    TnxHTTP http;
    nx::HttpEngineEntries().HTTP_Set = nullptr;
    nx::HttpEngineEntries().HTTP_Get = nullptr;
    nx::HttpEngineEntries().HTTP_Do = nullptr;
    engine.sets.clear();
    engine.getResult = 5;
    http.SetProxyServer("x");
    http.Get("http://a/b");
    EXPECT_TRUE(engine.sets.empty());
    EXPECT_EQ(engine.doCalls, 0);
    EXPECT_EQ(http.ProxyPort(), 0);
    EXPECT_EQ(http.ProxyServer(), "");
    EXPECT_FALSE(http.Connected());
}

TEST_F(FrontTest, ExceptionsAreOfTheComponentsClass) {
    TnxHTTP http;
    try {
        std::rethrow_exception(http.CreateException(3, "three"));
    } catch (const EnxHTTP& e) {
        EXPECT_EQ(e.Message(), "3: three");
    }
    struct Core : TnxCore {};
    Core core;
    try {
        std::rethrow_exception(core.CreateException(3, "three"));
    } catch (const EnxHTTP&) {
        FAIL() << "the core makes ENetXfer, not EnxHTTP";
    } catch (const ENetXfer& e) {
        EXPECT_EQ(e.Code(), 3);
    }
    EXPECT_EQ(http.About(), 0);
    http.SetAbout(5);
    EXPECT_EQ(http.About(), 0);
}

// The sink, driven as the engine drives it.
class SinkTest : public FrontTest {
protected:
    int Fire(int id, std::vector<std::intptr_t> values, std::vector<int> lengths = {}) {
        lengths.resize(values.size());
        return engine.sink(engine.context, id, static_cast<int>(values.size()), values.data(), lengths.data());
    }
    static std::intptr_t T(const char* s) { return reinterpret_cast<std::intptr_t>(s); }
};

TEST_F(SinkTest, EachEventReachesItsHandlerWithItsArguments) {
    TnxHTTP http;
    std::vector<std::string> seen;
    auto who = [&](TnxHTTP& s) { EXPECT_EQ(&s, &http); };
    http.OnConnected = [&](TnxHTTP& s, std::int32_t c, const std::string& d) {
        who(s);
        seen.push_back("Connected " + std::to_string(c) + " " + d);
    };
    http.OnConnectionStatus = [&](TnxHTTP& s, const std::string& e, std::int32_t c, const std::string& d) {
        who(s);
        seen.push_back("ConnectionStatus " + e + " " + std::to_string(c) + " " + d);
    };
    http.OnDisconnected = [&](TnxHTTP& s, std::int32_t c, const std::string& d) {
        who(s);
        seen.push_back("Disconnected " + std::to_string(c) + " " + d);
    };
    http.OnEndTransfer = [&](TnxHTTP& s, std::int32_t d) {
        who(s);
        seen.push_back("End " + std::to_string(d));
    };
    http.OnError = [&](TnxHTTP& s, std::int32_t c, const std::string& d) {
        who(s);
        seen.push_back("Error " + std::to_string(c) + " " + d);
    };
    http.OnHeader = [&](TnxHTTP& s, const std::string& f, const std::string& v) {
        who(s);
        seen.push_back("Header " + f + " " + v);
    };
    http.OnSetCookie = [&](TnxHTTP& s, const std::string& n, const std::string& v, const std::string& e,
                           const std::string& d, const std::string& p, bool sec) {
        who(s);
        seen.push_back("SetCookie " + n + " " + v + " " + e + " " + d + " " + p + " " + (sec ? "secure" : "plain"));
    };
    http.OnStartTransfer = [&](TnxHTTP& s, std::int32_t d) {
        who(s);
        seen.push_back("Start " + std::to_string(d));
    };
    http.OnStatus = [&](TnxHTTP& s, const std::string& v, std::int32_t c, const std::string& d) {
        who(s);
        seen.push_back("Status " + v + " " + std::to_string(c) + " " + d);
    };

    EXPECT_EQ(Fire(1, {200, T("up")}), 0);
    EXPECT_EQ(Fire(2, {T("Connecting"), 3, T("to host")}), 0);
    EXPECT_EQ(Fire(3, {-5, 0}), 0);
    EXPECT_EQ(Fire(4, {1}), 0);
    EXPECT_EQ(Fire(5, {12, T("Timeout")}), 0);
    EXPECT_EQ(Fire(6, {T("Content-Length"), T("900")}), 0);
    EXPECT_EQ(Fire(8, {T("n"), T("v"), T("e"), T("d"), T("p"), 0x100}), 0);
    EXPECT_EQ(Fire(9, {1}), 0);
    EXPECT_EQ(Fire(10, {T("HTTP/1.1"), 404, T("Not Found")}), 0);
    const std::vector<std::string> expected = {"Connected 200 up",
                                               "ConnectionStatus Connecting 3 to host",
                                               "Disconnected -5 ",
                                               "End 1",
                                               "Error 12 Timeout",
                                               "Header Content-Length 900",
                                               "SetCookie n v e d p secure",
                                               "Start 1",
                                               "Status HTTP/1.1 404 Not Found"};
    EXPECT_EQ(seen, expected);
}

TEST_F(SinkTest, UnknownIdsAndEventsWithoutHandlersChangeNothing) {
    TnxHTTP http;
    int calls = 0;
    http.OnHeader = [&](TnxHTTP&, const std::string&, const std::string&) { ++calls; };
    std::intptr_t values[3] = {T("a"), 1, 2};
    int lengths[3] = {0, 0, 0};
    EXPECT_EQ(engine.sink(&http, 99999, 3, values, lengths), 0);
    EXPECT_EQ(engine.sink(&http, 0, 3, values, lengths), 0);
    EXPECT_EQ(engine.sink(&http, 7, 2, values, lengths), 0);  // OnRedirect without a handler
    EXPECT_EQ(values[1], 1);
    EXPECT_EQ(values[2], 2);
    EXPECT_EQ(calls, 0);
}

TEST_F(SinkTest, TransferTextIsExactlyTheAnnouncedBytesZerosIncluded) {
    TnxHTTP http;
    std::vector<std::string> texts;
    std::vector<std::int32_t> totals;
    http.OnTransfer = [&](TnxHTTP&, std::int32_t, std::int32_t total, std::string_view text) {
        texts.emplace_back(text);
        totals.push_back(total);
    };
    static const char bytes[] = {'a', '\0', 'b', '\0', '\0', 'c', 'd', 'e'};
    Fire(11, {1, 5, T(bytes)}, {0, 0, 5});
    Fire(11, {1, 8, T(bytes)}, {0, 0, 8});
    Fire(11, {1, 8, T(bytes)}, {0, 0, 0});
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], std::string(bytes, 5));
    EXPECT_EQ(texts[0].size(), 5u);
    EXPECT_EQ(texts[1], std::string(bytes, 8));
    EXPECT_EQ(texts[2], "");
    EXPECT_EQ(totals, (std::vector<std::int32_t>{5, 8, 8}));
}

TEST_F(SinkTest, RedirectAcceptTravelsBothWays) {
    TnxHTTP http;
    std::vector<bool> offered;
    bool answer = false;
    std::string location;
    http.OnRedirect = [&](TnxHTTP&, const std::string& l, bool& accept) {
        offered.push_back(accept);
        location = l;
        accept = answer;
    };
    std::vector<std::intptr_t> values = {T("http://b/c"), 1};
    std::vector<int> lengths = {0, 0};
    engine.sink(&http, 7, 2, values.data(), lengths.data());
    EXPECT_EQ(values[1], 0);  // refused
    EXPECT_EQ(location, "http://b/c");
    answer = true;
    values[1] = 0x100;  // only the low byte counts: False
    engine.sink(&http, 7, 2, values.data(), lengths.data());
    EXPECT_EQ(values[1], 1);
    EXPECT_EQ(offered, (std::vector<bool>{true, false}));
}

TEST(Provisioning, FillsTheTableAndReleaseEmptiesItEvenUnderALiveComponent) {
    ProvisionNetXferEngines();
    const nx::EngineEntries& e = nx::HttpEngineEntries();
    EXPECT_TRUE(e.HTTP_Create && e.HTTP_Destroy && e.HTTP_Set && e.HTTP_Get && e.HTTP_GetLastError &&
                e.HTTP_CheckIndex && e.HTTP_Do);
    {
        TnxHTTP http;
        EXPECT_EQ(http.Timeout(), 60);
        EXPECT_EQ(http.ProxyPort(), 80);
        EXPECT_EQ(http.FollowRedirects(), frNever);
        EXPECT_FALSE(http.Connected());
        EXPECT_TRUE(http.Idle());
        http.SetProxyPort(0);  // accepted
        EXPECT_EQ(http.ProxyPort(), 0);
        EXPECT_THROW(http.SetProxyPort(65536), EnxHTTP);
        ReleaseNetXferEngines();
        EXPECT_EQ(nx::HttpEngineEntries().HTTP_Create, nullptr);
        EXPECT_EQ(http.Timeout(), 0);  // reads give 0 once the engine is gone
        EXPECT_NO_THROW(http.SetTimeout(5));
    }
    {
        NetXferEngines engines;
        EXPECT_NO_THROW(TnxHTTP());
    }
    EXPECT_THROW(TnxHTTP(), EnxHTTP);
}

}  // namespace
