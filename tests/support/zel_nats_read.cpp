// Reads every message of a JetStream stream and prints one JSON line per
// message: {"seq":N,"headers":{"Key":"value",...},"data":"..."}. Data bytes
// outside printable ASCII are written as \u00XX, so a reader gets the exact
// bytes back by encoding the text as Latin-1. Debian has no nats command-line
// tool; the tests read streams with this.
//
// zel_nats_read --url URLS --stream NAME [--subject FILTER] [--durable NAME]
//               [--token-file FILE] [--ca FILE] [--limit N]
// Without --durable an ephemeral consumer reads from the first message; with
// it, a durable pull consumer resumes where its last run acknowledged.
// Exit status 0 once every message up to the stream's last one at start has
// been printed, 1 on any failure (with the library's text on stderr).
#include <nats/nats.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void json_string(std::string* out, const char* p, int n) {
    out->push_back('"');
    for (int i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        if (c == '"' || c == '\\') {
            out->push_back('\\');
            out->push_back(static_cast<char>(c));
        } else if (c < 0x20 || c >= 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out->append(esc);
        } else {
            out->push_back(static_cast<char>(c));
        }
    }
    out->push_back('"');
}

int fail(const char* what, natsStatus s) {
    std::fprintf(stderr, "zel_nats_read: %s: %s\n", what, natsStatus_GetText(s));
    const char* last = nats_GetLastError(nullptr);
    if (last != nullptr && last[0] != '\0') std::fprintf(stderr, "zel_nats_read: %s\n", last);
    return 1;
}

std::string read_file(const char* path) {
    std::string out;
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return out;
    char buf[4096];
    size_t n = std::fread(buf, 1, sizeof buf, f);
    std::fclose(f);
    out.assign(buf, n);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const char* urls = nullptr;
    const char* stream = nullptr;
    const char* subject = nullptr;
    const char* durable = nullptr;
    const char* token_file = nullptr;
    const char* ca = nullptr;
    uint64_t limit = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i];
        const char* v = argv[i + 1];
        if (k == "--url") urls = v;
        else if (k == "--stream") stream = v;
        else if (k == "--subject") subject = v;
        else if (k == "--durable") durable = v;
        else if (k == "--token-file") token_file = v;
        else if (k == "--ca") ca = v;
        else if (k == "--limit") limit = std::strtoull(v, nullptr, 10);
        else {
            std::fprintf(stderr, "zel_nats_read: unknown option %s\n", k.c_str());
            return 2;
        }
    }
    if (urls == nullptr || stream == nullptr) {
        std::fprintf(stderr, "usage: zel_nats_read --url URLS --stream NAME [...]\n");
        return 2;
    }

    natsOptions* opts = nullptr;
    natsStatus s = natsOptions_Create(&opts);
    std::vector<std::string> list;
    for (const char* p = urls; *p != '\0';) {
        const char* comma = std::strchr(p, ',');
        size_t n = comma != nullptr ? static_cast<size_t>(comma - p) : std::strlen(p);
        list.emplace_back(p, n);
        p += n + (comma != nullptr ? 1 : 0);
    }
    std::vector<const char*> servers;
    for (const std::string& u : list) servers.push_back(u.c_str());
    if (s == NATS_OK) s = natsOptions_SetServers(opts, servers.data(), static_cast<int>(servers.size()));
    std::string token;
    if (s == NATS_OK && token_file != nullptr) {
        token = read_file(token_file);
        s = natsOptions_SetToken(opts, token.c_str());
    }
    if (s == NATS_OK && ca != nullptr) {
        s = natsOptions_SetSecure(opts, true);
        if (s == NATS_OK) s = natsOptions_LoadCATrustedCertificates(opts, ca);
    }
    if (s != NATS_OK) return fail("options", s);

    natsConnection* nc = nullptr;
    if ((s = natsConnection_Connect(&nc, opts)) != NATS_OK) return fail("connect", s);
    jsCtx* js = nullptr;
    if ((s = natsConnection_JetStream(&js, nc, nullptr)) != NATS_OK) return fail("jetstream", s);

    jsStreamInfo* si = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    if ((s = js_GetStreamInfo(&si, js, stream, nullptr, &code)) != NATS_OK)
        return fail("stream info", s);
    const uint64_t last = si->State.LastSeq;
    std::string filter = subject != nullptr ? subject
                         : si->Config->SubjectsLen > 0 ? si->Config->Subjects[0]
                                                      : ">";
    jsStreamInfo_Destroy(si);

    jsSubOptions so;
    jsSubOptions_Init(&so);
    so.Stream = stream;
    so.Config.AckPolicy = js_AckExplicit;
    if (durable == nullptr) so.Config.DeliverPolicy = js_DeliverAll;
    natsSubscription* sub = nullptr;
    if ((s = js_PullSubscribe(&sub, js, filter.c_str(), durable, nullptr, &so, &code)) != NATS_OK)
        return fail("subscribe", s);

    uint64_t printed = 0;
    uint64_t seen = 0;  // highest stream seq printed
    int idle = 0;
    std::string out;
    while (seen < last && (limit == 0 || printed < limit) && idle < 3) {
        natsMsgList got{};
        int batch = 256;
        if (limit != 0 && limit - printed < 256) batch = static_cast<int>(limit - printed);
        s = natsSubscription_Fetch(&got, sub, batch, 2000, &code);
        if (s == NATS_TIMEOUT) {
            idle++;
            continue;
        }
        if (s != NATS_OK) return fail("fetch", s);
        idle = 0;
        for (int i = 0; i < got.Count; i++) {
            natsMsg* m = got.Msgs[i];
            jsMsgMetaData* meta = nullptr;
            uint64_t seq = 0;
            if (natsMsg_GetMetaData(&meta, m) == NATS_OK) {
                seq = meta->Sequence.Stream;
                jsMsgMetaData_Destroy(meta);
            }
            out.clear();
            out += "{\"seq\":" + std::to_string(seq) + ",\"headers\":{";
            const char** keys = nullptr;
            int nkeys = 0;
            if (natsMsgHeader_Keys(m, &keys, &nkeys) == NATS_OK) {
                for (int k = 0; k < nkeys; k++) {
                    const char* v = "";
                    natsMsgHeader_Get(m, keys[k], &v);
                    if (k > 0) out.push_back(',');
                    json_string(&out, keys[k], static_cast<int>(std::strlen(keys[k])));
                    out.push_back(':');
                    json_string(&out, v, static_cast<int>(std::strlen(v)));
                }
                std::free(keys);
            }
            out += "},\"data\":";
            json_string(&out, natsMsg_GetData(m), natsMsg_GetDataLength(m));
            out += "}\n";
            std::fwrite(out.data(), 1, out.size(), stdout);
            natsMsg_Ack(m, nullptr);
            printed++;
            if (seq > seen) seen = seq;
        }
        natsMsgList_Destroy(&got);
    }
    std::fflush(stdout);
    natsConnection_Flush(nc);
    int status = 0;
    if (seen < last && (limit == 0 || printed < limit)) {
        std::fprintf(stderr, "zel_nats_read: stopped at seq %llu of %llu\n",
                     static_cast<unsigned long long>(seen), static_cast<unsigned long long>(last));
        status = 1;
    }
    natsSubscription_Destroy(sub);
    jsCtx_Destroy(js);
    natsConnection_Destroy(nc);
    natsOptions_Destroy(opts);
    nats_CloseAndWait(2000);
    return status;
}
