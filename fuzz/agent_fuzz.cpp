// The agent's requests as a Server (or anyone holding a network certificate) can send them:
// the input is a series of records, each a request kind and that request's bytes as gRPC
// would hand them over, parsed and passed to the Agent service in-process, in one session.
//
// A record: one byte (low 3 bits: 0 CreateApp, 1 ListEncoders, 2 GetEncoder, 3 SetAppWindow,
// 4+ Call; bit 7 set: keep the session the bytes name instead of the fuzz session), three
// bytes of length (little-endian), then the message. Sources open nothing: there is no
// network here, and an encoder that asks for one is told so.
#include <unistd.h>

#include <filesystem>
#include <string>

#include "agent/agent_service.h"
#include "fuzz_target.h"
#include "platform/error.h"

namespace {

namespace fs = std::filesystem;
namespace pb = shardex::remote::proto;
using namespace shardex;
using shardex::fuzz::expect;
using shardex::fuzz::kMaxRefusalText;

// The most records one input runs: enough for a whole job, bounded so a run stays short.
constexpr int kMaxRecords = 64;

struct Fixture {
    fs::path folder;
    std::unique_ptr<agent::AgentService> service;
    Fixture() {
        std::string pattern = (fs::temp_directory_path() / "shardex-fuzz-agent-XXXXXX").string();
        folder = fs::path(::mkdtemp(pattern.data())) / "Shardex";
        fs::create_directories(folder);
        agent::AgentSettings settings;
        settings.name = "FUZZ";
        settings.shardexFolder = folder;
        settings.openInput = [](const std::string& path) -> std::shared_ptr<encoder::ByteSource> {
            throw Error("'" + path.substr(0, 40) + "' cannot be read here: the fuzz agent has no network");
        };
        service = std::make_unique<agent::AgentService>(std::move(settings));
    }
    ~Fixture() {
        std::error_code ec;
        fs::remove_all(folder.parent_path(), ec);
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void check(const grpc::Status& st, const std::string& what) {
    if (st.ok()) return;
    expect(!st.error_message().empty(), "a refused call says why", what);
    expect(st.error_message().size() <= kMaxRefusalText, "an agent refusal is short", st.error_message().substr(0, 200));
}

// Parses `bytes` as the request type and calls `method`, in the fuzz session unless `keep`.
template <class Req, class Rep, class Fn>
void run(const std::string& bytes, bool keep, const std::string& session, Fn method) {
    Req request;
    if (!request.ParseFromString(bytes)) return;  // gRPC answers this itself, before the service
    if (!keep) request.set_session(session);
    Rep reply;
    check(method(request, reply), request.ShortDebugString().substr(0, 200));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fixture& f = fixture();
    agent::AgentService& service = *f.service;
    const std::string session = service.openSession("SRV", {"127.0.0.1", 1});
    std::size_t at = 0;
    for (int n = 0; n < kMaxRecords && at + 4 <= size; ++n) {
        const std::uint8_t kind = data[at];
        const std::size_t declared = data[at + 1] | (data[at + 2] << 8) | (data[at + 3] << 16);
        const std::size_t length = std::min<std::size_t>(declared, size - at - 4);
        const std::string bytes(reinterpret_cast<const char*>(data + at + 4), length);
        at += 4 + length;
        const bool keep = kind & 0x80;
        switch (kind & 0x07) {
        case 0:
            run<pb::CreateAppRequest, pb::CreateAppReply>(bytes, keep, session, [&](auto& q, auto& r) {
                return service.CreateApp(nullptr, &q, &r);
            });
            break;
        case 1:
            run<pb::SessionRef, pb::EncoderNames>(bytes, keep, session, [&](auto& q, auto& r) {
                return service.ListEncoders(nullptr, &q, &r);
            });
            break;
        case 2:
            run<pb::EncoderRef, pb::Empty>(bytes, keep, session, [&](auto& q, auto& r) {
                return service.GetEncoder(nullptr, &q, &r);
            });
            break;
        case 3:
            run<pb::AppWindowRequest, pb::Empty>(bytes, keep, session, [&](auto& q, auto& r) {
                return service.SetAppWindow(nullptr, &q, &r);
            });
            break;
        default:
            run<pb::EncoderCall, pb::CallReply>(bytes, keep, session, [&](auto& q, auto& r) {
                return service.Call(nullptr, &q, &r);
            });
            break;
        }
        service.runSessionEvents(session);
    }
    service.closeSession(session);
    // Whatever was asked, nothing was written outside the Shardex folder, and nothing in it
    // is a link the agent made.
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(f.folder.parent_path(), ec))
        expect(entry.path() == f.folder, "the agent writes only in its Shardex folder", entry.path().string());
    for (const auto& entry : fs::directory_iterator(f.folder, ec)) {
        expect(!entry.is_symlink(), "no link in the Shardex folder", entry.path().string());
        fs::remove_all(entry.path(), ec);
    }
    expect(service.sessionCount() == 0, "a closed session is gone");
    return 0;
}

// ---- the table: whole request series, built as a Server would send them ----

namespace {

std::string record(int kind, const google::protobuf::Message& m) {
    const std::string bytes = m.SerializeAsString();
    std::string out(1, static_cast<char>(kind));
    for (int shift = 0; shift < 24; shift += 8) out += static_cast<char>((bytes.size() >> shift) & 0xff);
    return out + bytes;
}

std::string create(const std::string& name, const std::string& prog = "WMEnc.WMEncoderApp") {
    pb::CreateAppRequest r;
    r.set_name(name);
    r.set_prog_id(prog);
    return record(0, r);
}

pb::EncoderCall call(const std::string& encoder = "WMEnc_1") {
    pb::EncoderCall c;
    c.set_encoder(encoder);
    return c;
}

template <class Set>
std::string op(Set set, const std::string& encoder = "WMEnc_1") {
    pb::EncoderCall c = call(encoder);
    set(c);
    return record(4, c);
}

std::string set_output(const std::string& name) {
    return op([&](pb::EncoderCall& c) { c.set_set_output(name); });
}

std::string add_group_and_source() {
    return op([](pb::EncoderCall& c) { c.set_add_group("SG_1"); }) + op([](pb::EncoderCall& c) {
               c.mutable_add_source()->set_group(0);
               c.mutable_add_source()->set_source(2);
           });
}

}  // namespace

std::vector<std::string> shardex::fuzz::nasty_inputs() {
    const std::string app = create("WMEnc_1");
    const std::string mb(1 << 20, 'a');
    std::vector<std::string> out = {
        "",
        std::string(4, '\0'),
        std::string("\x04\xff\xff\xff", 4),
        app + app,
        create(""),
        create(std::string(256, 'n')),
        create("x", "Other.App"),
        create(mb, std::string(1, '\0')),
        create("x", mb),
        app + op([](pb::EncoderCall& c) { c.mutable_reset(); }),
        app + op([](pb::EncoderCall& c) { c.mutable_start(); }),
        app + op([](pb::EncoderCall& c) { c.set_prepare(true); }),
        app + op([](pb::EncoderCall& c) { c.mutable_pause(); }) + op([](pb::EncoderCall& c) { c.mutable_resume(); }) +
            op([](pb::EncoderCall& c) { c.mutable_stop(); }),
        app + op([](pb::EncoderCall& c) { c.set_group_name(-1); }),
        app + op([](pb::EncoderCall& c) { c.set_group_name(2147483647); }),
        app + op([](pb::EncoderCall& c) { c.set_source_count(0); }),
        app + op([](pb::EncoderCall& c) { c.mutable_get_input()->set_group(0); }),
        app + op([](pb::EncoderCall& c) { c.set_get_group_profile(5); }),
        app + op([](pb::EncoderCall& c) { c.set_profile_item(-1); }),
        app + op([](pb::EncoderCall& c) { c.set_profile_item(1000); }),
        app + op([](pb::EncoderCall& c) { c.mutable_profiles_refresh(); }) +
            op([](pb::EncoderCall& c) { c.mutable_profiles_count(); }),
        app + op([](pb::EncoderCall& c) { c.set_get_display_info(99); }),
        app + op([](pb::EncoderCall& c) {
            c.mutable_set_display_info()->set_field(-7);
            c.mutable_set_display_info()->set_value("x");
        }),
        app + add_group_and_source() + op([](pb::EncoderCall& c) {
            c.mutable_add_source()->set_group(0);
            c.mutable_add_source()->set_source(99);
        }),
        app + add_group_and_source() + op([](pb::EncoderCall& c) {
            c.mutable_set_mark_in()->mutable_source()->set_source(0);
            c.mutable_set_mark_in()->set_value(-2147483647 - 1);
        }) + op([](pb::EncoderCall& c) {
            c.mutable_set_mark_out()->mutable_source()->set_source(0);
            c.mutable_set_mark_out()->set_value(-5);
        }) + op([](pb::EncoderCall& c) { c.mutable_get_duration(); }),
        app + add_group_and_source() + op([](pb::EncoderCall& c) {
            c.mutable_set_input()->mutable_source()->set_source(0);
            c.mutable_set_input()->set_path("//SRV/clip.avi");
        }) + op([](pb::EncoderCall& c) {
            c.mutable_set_group_profile()->set_group(0);
            c.mutable_set_group_profile()->set_index(0);
            c.mutable_set_group_profile()->set_name("Windows Media Video 8 for Local Area Network (768 Kbps)");
        }) + set_output("out.wmv") + op([](pb::EncoderCall& c) { c.set_prepare(true); }) +
            op([](pb::EncoderCall& c) { c.mutable_start(); }),
        app + add_group_and_source() + op([](pb::EncoderCall& c) {
            c.mutable_set_input()->mutable_source()->set_source(0);
            c.mutable_set_input()->set_path(std::string("//SRV/a\0b", 9));
        }) + op([](pb::EncoderCall& c) {
            c.mutable_set_group_profile()->set_group(0);
            c.mutable_set_group_profile()->set_index(0);
            c.mutable_set_group_profile()->set_name("not that one");
        }),
        app + op([](pb::EncoderCall& c) { c.mutable_set_group_profile()->set_index(-1); }),
        app + set_output("..") + set_output("../x.wmv") + set_output("/tmp/x.wmv") + set_output("a/b") +
            set_output("a\\b") + set_output("C:x") + set_output(std::string("x\0y", 3)) + set_output(""),
        app + set_output(mb),
        app + set_output("fine.wmv") + op([](pb::EncoderCall& c) { c.mutable_get_output(); }),
        app + op([](pb::EncoderCall& c) { c.set_set_output("x.wmv"); }, mb),
        app + op([](pb::EncoderCall& c) { c.mutable_run_state(); }, "nobody"),
        op([](pb::EncoderCall& c) { c.mutable_run_state(); }),
        app + record(4, pb::EncoderCall()) ,
    };
    // Calls that name another session (bit 7 keeps the session the bytes carry).
    pb::EncoderCall other = call();
    other.set_session(mb);
    other.mutable_reset();
    out.push_back(app + record(0x84, other));
    pb::EncoderRef ref;
    ref.set_encoder(mb);
    out.push_back(app + record(2, ref));
    pb::AppWindowRequest window;
    window.set_app("WMEnc_1");
    window.mutable_placement()->set_first(-2147483647 - 1);
    out.push_back(app + record(3, window));
    window.set_app(mb);
    out.push_back(app + record(3, window));
    pb::SessionRef none;
    out.push_back(app + record(1, none) + record(0x81, none));
    return out;
}
