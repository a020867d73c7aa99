// The agent's requests as a Server (or anyone holding a network certificate) can send them:
// the input is a series of records, each a request kind and that request's bytes as gRPC
// would hand them over, parsed and passed to the Agent service in-process, in one session.
//
// A record: one byte (low 3 bits: 0 CreateApp, 1 ListEncoders, 2 GetEncoder, 3 SetAppWindow,
// 4+ Call; bit 7 set: keep the session the bytes name instead of the fuzz session), three
// bytes of length (little-endian), then the message. Sources open nothing: there is no
// network here, and an encoder that asks for one is told so.
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

constexpr int kMaxRecords = 64;  // enough for a whole job, bounded so a run stays short

struct Fixture {
    fs::path folder = fs::path(shardex::fuzz::scratch_folder()) / "Shardex";
    std::unique_ptr<agent::AgentService> service;
    Fixture() {
        fs::create_directories(folder);
        agent::AgentSettings settings;
        settings.name = "FUZZ";
        settings.shardexFolder = folder;
        settings.openInput = [](const std::string& path) -> std::shared_ptr<encoder::ByteSource> {
            throw Error("'" + path.substr(0, 40) + "' cannot be read here: the fuzz agent has no network");
        };
        service = std::make_unique<agent::AgentService>(std::move(settings));
    }
};

// Parses `bytes` as the request type and calls `method`, in the fuzz session unless `keep`.
template <class Req, class Rep>
void call(agent::AgentService& service, grpc::Status (agent::AgentService::*method)(grpc::ServerContext*, const Req*, Rep*),
          const std::string& bytes, bool keep, const std::string& session) {
    Req request;
    if (!request.ParseFromString(bytes)) return;  // gRPC answers this itself, before the service
    if (!keep) request.set_session(session);
    Rep reply;
    if (const grpc::Status st = (service.*method)(nullptr, &request, &reply); !st.ok())
        shardex::fuzz::expect_refusal(st.error_message(), "an agent refusal is short and says why");
}

void one_input(const std::string& input) {
    static Fixture f;
    agent::AgentService& service = *f.service;
    const std::string session = service.openSession("SRV", {"127.0.0.1", 1});
    const auto* data = reinterpret_cast<const std::uint8_t*>(input.data());
    for (std::size_t at = 0, n = 0; n < kMaxRecords && at + 4 <= input.size(); ++n) {
        const std::size_t declared = data[at + 1] | (data[at + 2] << 8) | (data[at + 3] << 16);
        const std::string bytes = input.substr(at + 4, declared);
        const bool keep = data[at] & 0x80;
        using S = agent::AgentService;
        switch (data[at] & 0x07) {
            case 0: call(service, &S::CreateApp, bytes, keep, session); break;
            case 1: call(service, &S::ListEncoders, bytes, keep, session); break;
            case 2: call(service, &S::GetEncoder, bytes, keep, session); break;
            case 3: call(service, &S::SetAppWindow, bytes, keep, session); break;
            default: call(service, &S::Call, bytes, keep, session);
        }
        at += 4 + bytes.size();
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
}

// ---- the table: whole request series, built as a Server would send them ----

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

// A call of `encoder` filled by `set`.
template <class Set>
std::string op(Set set, const std::string& encoder = "WMEnc_1") {
    pb::EncoderCall c;
    c.set_encoder(encoder);
    set(c);
    return record(4, c);
}

// Requests with names of a megabyte, too large for a seed file; the others (whole jobs, every
// call with indexes out of range, outputs that climb) are in fuzz/corpus/agent.
std::vector<std::string> table() {
    const std::string app = create("WMEnc_1"), mb(1 << 20, 'a');
    pb::EncoderCall other;  // a call naming another session: bit 7 keeps it
    other.set_session(mb);
    other.set_encoder("WMEnc_1");
    other.mutable_reset();
    pb::EncoderRef ref;
    ref.set_encoder(mb);
    pb::AppWindowRequest window;
    window.set_app(mb);
    return {create(mb, std::string(1, '\0')), create("x", mb), app + op([&](pb::EncoderCall& c) { c.set_set_output(mb); }),
            app + op([](pb::EncoderCall& c) { c.set_set_output("x.wmv"); }, mb), app + record(0x84, other),
            app + record(2, ref), app + record(3, window)};
}

SHARDEX_FUZZ_TARGET("agent", one_input, table);

}  // namespace
