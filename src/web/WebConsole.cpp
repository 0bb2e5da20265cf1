#include "web/WebConsole.h"

#include <httplib.h>
#include <sodium.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "auth/AdminPassword.h"
#include "auth/LoginThrottle.h"
#include "auth/OAuth2.h"
#include "core/AppEvents.h"
#include "core/Folders.h"
#include "core/Format.h"
#include "core/ProtocolText.h"
#include "core/TextFile.h"
#include "core/Log.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "core/SettingChecks.h"
#include "delivery/AdminRules.h"
#include "delivery/Mailbox.h"
#include "dialup/Schedule.h"
#include "pop3/SmartPop.h"
#include "robots/MembersFile.h"
#include "net/LanTls.h"
#include "net/RelayNets.h"
#include "platform/Events.h"
#include "platform/FileLock.h"
#include "smtp/FailureReport.h"
#include "smtp/RelayLogin.h"
#include "web/WebAssets.h"
#include "web/WebMetrics.h"
#include "web/WebText.h"

namespace pv::web {

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kSurface = "web console";

std::string RandomToken() {
    unsigned char bytes[kTokenBytes];
    randombytes_buf(bytes, sizeof bytes);
    char hex[2 * kTokenBytes + 1];
    sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
    return hex;
}

bool SameToken(const std::string& a, const std::string& b) {
    return a.size() == b.size() && !a.empty() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string HostName() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return "";
    return buf;
}

// One JSON object, written field by field.
class Json {
public:
    Json& Str(const char* key, std::string_view value) { return Raw(key, JsonString(value)); }
    Json& Num(const char* key, uint64_t value) { return Raw(key, std::to_string(value)); }
    Json& Bool(const char* key, bool value) { return Raw(key, value ? "true" : "false"); }
    Json& Raw(const char* key, const std::string& json) {
        text_ += (text_.size() > 1 ? "," : "") + JsonString(key) + ":" + json;
        return *this;
    }
    std::string Done() const { return text_ + "}"; }

private:
    std::string text_ = "{";
};

std::string JsonArray(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
    return out + "]";
}

void SendJson(httplib::Response& res, const std::string& body) { res.set_content(body, "application/json"); }

// A refusal a person reads in the page: 400 with the shared check's sentence.
void SendProblem(httplib::Response& res, const std::string& problem, int status = 400) {
    res.status = status;
    SendJson(res, Json().Str("error", problem).Done());
}

std::string Param(const httplib::Request& req, const char* name) {
    return req.has_param(name) ? req.get_param_value(name) : std::string();
}

struct Session {
    std::string csrf;
    Clock::time_point started;
    Clock::time_point lastUse;
};

// Queue file details for the Queue page.
struct QueueEntry {
    std::string name, sender;
    std::vector<std::string> recipients;
    uint64_t size = 0;
    std::time_t modified = 0;
    uint32_t tries = 0;
    bool report = false;  // a failure report on its way to a sender elsewhere
};

std::vector<QueueEntry> ListQueue(const char* suffix) {
    const std::string dir = QueueDirectory(kOutboxDir);
    std::vector<QueueEntry> out;
    const size_t suffixLength = std::string_view(suffix).size();
    for (const auto& file : ListFolderNames(dir, suffix)) {
        const std::string base = file.substr(0, file.size() - suffixLength);
        QueueEntry e;
        e.name = base;
        std::vector<std::string> lines;
        ReadWorkFile(JoinPath(dir, base + suffix), lines);
        if (!lines.empty()) {
            e.sender = lines.front();
            e.recipients.assign(lines.begin() + 1, lines.end());
            e.recipients.erase(std::remove(e.recipients.begin(), e.recipients.end(), ""), e.recipients.end());
            e.report = IsReportSender(e.sender);
        }
        struct stat st {};
        if (::stat(JoinPath(dir, base + ".txt").c_str(), &st) == 0) {
            e.size = static_cast<uint64_t>(st.st_size);
            e.modified = st.st_mtime;
        }
        // Runs that ended on this message without progress (the transmitter's stall count).
        std::vector<std::string> count;
        if (ReadWorkFile(JoinPath(dir, base + ".cnt"), count) && !count.empty()) {
            e.tries = static_cast<uint32_t>(std::strtoul(count.front().c_str(), nullptr, 10));
        }
        out.push_back(std::move(e));
    }
    return out;
}

uint64_t AgeOf(const QueueEntry& e) {
    const std::time_t now = std::time(nullptr);
    return e.modified && now > e.modified ? static_cast<uint64_t>(now - e.modified) : 0;
}

// Messages, not failure reports: those have a list of their own.
std::string QueueJson(const std::vector<QueueEntry>& entries) {
    std::vector<std::string> items;
    for (const auto& e : entries) {
        if (e.report) continue;
        std::vector<std::string> rcpts;
        for (const auto& r : e.recipients) rcpts.push_back(JsonString(r));
        items.push_back(Json()
                            .Str("name", e.name)
                            .Str("sender", e.sender)
                            .Raw("recipients", JsonArray(rcpts))
                            .Num("size", e.size)
                            .Num("age", AgeOf(e))
                            .Num("tries", e.tries)
                            .Done());
    }
    return JsonArray(items);
}

// The failure reports in the outbound queue: on their way to a sender elsewhere, or set aside
// because the relay refused them too. Each names the refused message's sender (the report's
// recipient), the recipient the relay refused and its reason, read from the report's text.
std::string ReportsJson() {
    const std::string dir = QueueDirectory(kOutboxDir);
    std::vector<std::string> items;
    for (const char* suffix : {".wrk", ".old"}) {
        for (const auto& e : ListQueue(suffix)) {
            if (!e.report) continue;
            const FailureReportSummary summary = ReadFailureReportSummary(JoinPath(dir, e.name + ".txt"));
            items.push_back(Json()
                                .Str("name", e.name)
                                .Str("sender", e.recipients.empty() ? std::string() : e.recipients.front())
                                .Str("recipient", summary.recipient)
                                .Str("reason", summary.reason)
                                .Num("age", AgeOf(e))
                                .Bool("setAside", std::string_view(suffix) == ".old")
                                .Done());
        }
    }
    return JsonArray(items);
}

// The list options the console's form sends, named as delivery/AdminRules.h names them.
constexpr const char* kListOptionNames[] = {"owner",  "description", "archive",   "join-by-mail",
                                            "reply-to", "hidden",    "moderated", "members-only"};

// The schedule's three conditions, as the applet's schedule page names and bounds them.
struct ScheduleCondition {
    const char* checkName;
    const char* countName;
    uint32_t most;
    const char* what;
};
constexpr const char* kScheduleKey = "Schedule";
constexpr ScheduleCondition kScheduleConditions[] = {
    {"CheckWaiting", "CountWaiting", kMaxCountWaiting, "The number of waiting messages"},
    {"CheckAge", "CountAge", kMaxCountAge, "The age of the oldest message"},
    {"CheckIdle", "CountIdle", kMaxCountIdle, "The time since the last connection"},
};
constexpr const char* kScheduleSets[] = {"a", "b"};
constexpr uint32_t kAllDays = 0x7f;  // Monday bit 0 ... Sunday bit 6

// Read at every request, as RelayNets is, so a change takes effect at once.
std::string AllowedNets() {
    std::string nets;
    if (CRegistryKey("AdvCon", false).ReadString(kWebNetsValue, nets) && !nets.empty()) return nets;
    return RelayNets();
}

}  // namespace

struct CWebConsole::Impl {
    std::unique_ptr<httplib::SSLServer> server;
    std::mutex mutex;
    std::map<std::string, Session> sessions;  // by token

    // Device sign-ins under way (OAuth2 for the relay or a SmartPop account), by a random id the
    // page polls with. Each is polled no faster than the provider allows, and only by one
    // request at a time: a poll takes its entry out of the map and puts it back when still
    // pending. Ended ones (done, failed, run out of time) are gone.
    struct PendingSignIn {
        std::shared_ptr<auth::CDeviceSignIn> signIn;
        std::string what;
        Clock::time_point nextPoll;
    };
    std::map<std::string, PendingSignIn> signIns;  // under `mutex`

    // Refused clients: one log line when an address is first refused, then at most one a
    // period with the count, through the limiter the listeners use for their refusals.
    CRepeatedLogLines refusalLines;

    void NoteRefusal(const std::string& address) {
        uint64_t left = 0;
        if (!refusalLines.Admit(address, left)) return;
        WriteLogLine("Web console: refused " + std::to_string(left + 1) + " request(s) from " + address +
                     ", which is outside AdvCon\\WebNets (or RelayNets)");
    }

    // ---- sessions ----------------------------------------------------------------------------

    // The session the request's cookie names, refreshed unless `touch` is false (the status
    // page's own poll is no sign of a person); false when there is none or it ended.
    bool FindSession(const httplib::Request& req, std::string& token, Session& out, bool touch = true) {
        token = SessionTokenFromCookie(req.get_header_value("Cookie"));
        if (token.empty()) return false;
        std::lock_guard lock(mutex);
        auto it = sessions.find(token);
        if (it == sessions.end()) return false;
        const auto now = Clock::now();
        if (now - it->second.lastUse > kSessionIdle || now - it->second.started > kSessionLongest) {
            sessions.erase(it);
            return false;
        }
        if (touch) it->second.lastUse = now;
        out = it->second;
        return true;
    }

    std::string OpenSession(std::string& csrf) {
        const std::string token = RandomToken();
        csrf = RandomToken();
        const auto now = Clock::now();
        std::lock_guard lock(mutex);
        if (sessions.size() >= kMaxSessions) {
            auto oldest = std::min_element(sessions.begin(), sessions.end(), [](const auto& a, const auto& b) {
                return a.second.lastUse < b.second.lastUse;
            });
            sessions.erase(oldest);
        }
        sessions[token] = Session{csrf, now, now};
        return token;
    }

    static std::string CookieFor(const std::string& token, long maxAge) {
        return std::string(kSessionCookie) + "=" + token + "; Path=/; Secure; HttpOnly; SameSite=Strict; Max-Age=" +
               std::to_string(maxAge);
    }

    // Wraps a handler that needs a session; for POST also the CSRF token.
    httplib::Server::Handler Guarded(std::function<void(const httplib::Request&, httplib::Response&)> handler,
                                     bool touch = true) {
        return [this, handler, touch](const httplib::Request& req, httplib::Response& res) {
            std::string token;
            Session session;
            if (!FindSession(req, token, session, touch)) return SendProblem(res, "Please log in again.", 401);
            if (req.method == "POST" && !SameToken(req.get_header_value("X-CSRF-Token"), session.csrf)) {
                WriteLogLine(std::string("Web console: a change from ") + req.remote_addr +
                             " without the page's token was refused");
                return SendProblem(res, "The request did not come from this console's page; reload the page.", 403);
            }
            handler(req, res);
        };
    }

    // ---- routes ------------------------------------------------------------------------------

    void Routes() {
        auto& s = *server;
        // Before any route: clients outside the allowed networks learn nothing.
        s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
            if (AddressInNets(req.remote_addr, AllowedNets())) return httplib::Server::HandlerResponse::Unhandled;
            NoteRefusal(req.remote_addr);
            res.status = 403;
            res.set_content("Forbidden: this address may not use the console (see AdvCon\\WebNets).\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        });
        s.set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
            res.set_header("Cache-Control", "no-store");
            res.set_header("X-Content-Type-Options", "nosniff");
            res.set_header("X-Frame-Options", "DENY");
            res.set_header("Referrer-Policy", "no-referrer");
            res.set_header("Content-Security-Policy",
                           "default-src 'self'; style-src 'self'; script-src 'self'; frame-ancestors 'none'");
            res.set_header("Strict-Transport-Security", "max-age=31536000");
        });
        for (const auto& asset : Assets()) {
            s.Get(asset.path, [&asset](const httplib::Request&, httplib::Response& res) {
                res.set_content(asset.body, asset.type);
            });
        }
        s.Get("/metrics", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(MetricsText(), "text/plain; version=0.0.4");
        });
        s.Post("/login", [this](const httplib::Request& req, httplib::Response& res) { Login(req, res); });
        s.Post("/logout", Guarded([this](const httplib::Request& req, httplib::Response& res) {
                   std::lock_guard lock(mutex);
                   sessions.erase(SessionTokenFromCookie(req.get_header_value("Cookie")));
                   res.set_header("Set-Cookie", CookieFor("", 0));
                   SendJson(res, "{}");
               }));
        s.Get("/api/session", [this](const httplib::Request& req, httplib::Response& res) {
            std::string token;
            Session session;
            if (!FindSession(req, token, session)) return SendProblem(res, "Please log in.", 401);
            SendJson(res, Json().Str("csrf", session.csrf).Done());
        });
        s.Get("/api/status",
              Guarded([](const httplib::Request& req, httplib::Response& res) { Status(req, res); }, false));
        s.Post(R"(/api/action/(connect|disconnect|poll))",
               Guarded([](const httplib::Request& req, httplib::Response& res) { Action(req.matches[1], res); }));
        s.Get("/api/mailboxes", Guarded([](const httplib::Request&, httplib::Response& res) { Mailboxes(res); }));
        s.Post(R"(/api/mailbox/(add|remove|password|forward|reply-text))",
               Guarded([](const httplib::Request& req, httplib::Response& res) { MailboxChange(req, res); }));
        s.Post("/api/list-options", Guarded([](const httplib::Request& req, httplib::Response& res) {
                   const std::string name = Param(req, "name");
                   if (ListFolder(name, res).empty()) return;
                   std::vector<std::pair<std::string, std::string>> options;
                   for (const char* o : kListOptionNames) {
                       if (req.has_param(o)) options.emplace_back(o, req.get_param_value(o));
                   }
                   CMailbox box;
                   box.Open(name);
                   Done(res, SetListOptions(box, options), "options of list " + name + " changed");
               }));
        s.Get("/api/members", Guarded([](const httplib::Request& req, httplib::Response& res) { Members(req, res); }));
        s.Post(R"(/api/members/(add|remove))",
               Guarded([](const httplib::Request& req, httplib::Response& res) { MembersChange(req, res); }));
        s.Post(R"(/api/alias/(set|remove))",
               Guarded([](const httplib::Request& req, httplib::Response& res) { AliasChange(req, res); }));
        s.Post(R"(/api/domain/(add|remove|primary))",
               Guarded([](const httplib::Request& req, httplib::Response& res) { DomainChange(req, res); }));
        s.Get("/api/queue", Guarded([](const httplib::Request&, httplib::Response& res) {
                  SendJson(res, Json().Raw("waiting", QueueJson(ListQueue(".wrk")))
                                    .Raw("setAside", QueueJson(ListQueue(".old")))
                                    .Raw("reports", ReportsJson())
                                    .Done());
              }));
        s.Post("/api/report/delete",
               Guarded([](const httplib::Request& req, httplib::Response& res) { ReportDelete(req, res); }));
        s.Post(R"(/api/queue/(resend|delete))",
               Guarded([](const httplib::Request& req, httplib::Response& res) { QueueChange(req, res); }));
        s.Get("/api/provider", Guarded([](const httplib::Request&, httplib::Response& res) { Provider(res); }));
        s.Post(R"(/api/smartpop/(add|remove|edit|enable|disable))",
               Guarded([](const httplib::Request& req, httplib::Response& res) { SmartPopChange(req, res); }));
        s.Post("/api/schedule",
               Guarded([](const httplib::Request& req, httplib::Response& res) { ScheduleChange(req, res); }));
        s.Post("/api/oauth/start",
               Guarded([this](const httplib::Request& req, httplib::Response& res) { SignInStart(req, res); }));
        s.Post("/api/oauth/poll",
               Guarded([this](const httplib::Request& req, httplib::Response& res) { SignInPoll(req, res); }));
        s.Post("/api/relay", Guarded([](const httplib::Request& req, httplib::Response& res) { RelayChange(req, res); }));
    }

    void Login(const httplib::Request& req, httplib::Response& res) {
        // A login form on another site could otherwise log this browser in under the
        // attacker's eyes; browsers name the page a POST comes from.
        const std::string origin = req.get_header_value("Origin");
        if (!origin.empty() && origin != "https://" + req.get_header_value("Host")) {
            return SendProblem(res, "Log in from the console's own page.", 403);
        }
        auto& throttle = auth::CLoginThrottle::Shared();
        const std::string& peer = req.remote_addr;
        // A refused address is answered as a wrong password is, whatever it typed; the hash is
        // computed all the same, so the answer's timing does not tell a refusal either.
        const bool refused = throttle.Refused(peer);
        const bool right = auth::CheckAdminPassword(Param(req, "password"));
        if (refused || !right) {
            throttle.Failed(peer, kSurface);
            std::this_thread::sleep_for(kFailedLoginDelay);
            return SendProblem(res,
                               auth::AdminPasswordSet()
                                   ? "Wrong password."
                                   : "No console password is set: run postvane-admin web password - on the server.",
                               403);
        }
        throttle.Succeeded(peer);
        std::string csrf;
        const std::string token = OpenSession(csrf);
        res.set_header("Set-Cookie",
                       CookieFor(token, std::chrono::duration_cast<std::chrono::seconds>(kSessionLongest).count()));
        WriteLogLine("Web console: the administrator logged in from " + peer);
        SendJson(res, Json().Str("csrf", csrf).Done());
    }

    static void Status(const httplib::Request& req, httplib::Response& res) {
        auto& ev = platform::NamedEvents::Get();
        auto state = [&](platform::NamedEvent e) { return ev.Peek(e) ? "Active" : "Idle"; };
        using platform::NamedEvent;
        std::vector<std::string> rows;
        auto row = [&](const char* name, const std::string& value) {
            rows.push_back(Json().Str("name", name).Str("value", value).Done());
        };
        row("Machine Name", HostName());
        row("Connection", ConnectionStatusText());
        row("SMTP Server", state(NamedEvent::SmtpRc));
        row("SMTP Transmitter", state(NamedEvent::SmtpTr));
        row("POP3 Server", state(NamedEvent::PopServer));
        row("SmartPop", state(NamedEvent::SmartPop));
        row("Finger", state(NamedEvent::Finger));
        row("Waiting Messages", std::to_string(CountWaitingMessages()));
        const uint64_t after = std::strtoull(Param(req, "after").c_str(), nullptr, 10);
        std::vector<std::string> lines;
        uint64_t last = after;
        for (const auto& l : RecentLogLines(after)) {
            lines.push_back(JsonString(l.text));
            last = l.number;
        }
        SendJson(res, Json().Raw("rows", JsonArray(rows)).Raw("log", JsonArray(lines)).Num("last", last).Done());
    }

    // The window's buttons, by the same requests postvane-ctl makes: the status display takes
    // Connect and Disconnect at its next refresh; the connection manager takes Poll.
    static void Action(const std::string& what, httplib::Response& res) {
        auto& events = platform::NamedEvents::Get();
        if (what == "connect") events.PostRequest(platform::ControlRequest::Connect);
        if (what == "disconnect") events.PostRequest(platform::ControlRequest::Disconnect);
        if (what == "poll") events.Signal(platform::NamedEvent::PollSmartPop);
        SendJson(res, "{}");
    }

    static void Mailboxes(httplib::Response& res) {
        std::vector<std::string> boxes;
        for (const auto& name : CMailbox::ListMailboxes()) {
            CMailbox box;
            if (!box.Open(name)) continue;
            const bool user = box.Type() == kMailboxUser;
            const bool responder = box.Type() == kMailboxResponder;
            boxes.push_back(Json()
                                .Str("name", name)
                                .Str("type", MailboxTypeName(box.Type()))
                                .Str("forward", user && box.GetOption(1) ? box.GetText(1) : "")
                                .Num("messages", ListFolderNames(box.Directory(), ".txt").size())
                                .Str("replyText", responder ? box.GetText(3) : "")
                                .Done());
        }
        std::vector<std::string> aliases;
        CRegistryKey alias("Alias", false);
        std::vector<std::string> names;
        alias.ListValueNames(names);
        for (const auto& n : names) {
            std::string value;
            alias.ReadString(n, value);
            aliases.push_back(Json().Str("name", n).Str("addresses", value).Done());
        }
        std::vector<std::string> domains;
        const std::string primary = PrimaryDomain();
        for (const auto& d : LocalDomains()) domains.push_back(Json().Str("name", d).Bool("primary", d == primary).Done());
        std::vector<std::string> types;
        for (const auto& [n, v] : MailboxTypeNames()) types.push_back(JsonString(n));
        SendJson(res, Json()
                          .Raw("mailboxes", JsonArray(boxes))
                          .Raw("aliases", JsonArray(aliases))
                          .Raw("domains", JsonArray(domains))
                          .Raw("types", JsonArray(types))
                          .Done());
    }

    static void Done(httplib::Response& res, const std::string& problem, const std::string& logLine) {
        if (!problem.empty()) return SendProblem(res, problem);
        WriteLogLine("Web console: " + logLine);
        SendJson(res, "{}");
    }

    static void MailboxChange(const httplib::Request& req, httplib::Response& res) {
        const std::string what = req.matches[1];
        const std::string name = Param(req, "name");
        if (what == "add") {
            const auto& types = MailboxTypeNames();
            auto type = types.find(Param(req, "type").empty() ? "user" : Param(req, "type"));
            if (type == types.end()) return SendProblem(res, "unknown mailbox type '" + Param(req, "type") + "'");
            return Done(res, CreateMailboxWithPassword(name, type->second, Param(req, "password")),
                        "mailbox " + name + " added");
        }
        if (auto problem = NameProblem("mailbox", name); !problem.empty()) return SendProblem(res, problem);
        CMailbox box;
        if (!box.Open(name)) return SendProblem(res, "there is no mailbox '" + name + "'.", 404);
        if (what == "remove") {
            box.Close();
            // The folder and its messages stay, as with postvane-admin.
            const bool ok = CRegistryKey("mailbox", true).DeleteSubkey(name);
            return Done(res, ok ? "" : "could not remove the mailbox '" + name + "'.", "mailbox " + name + " removed");
        }
        if (what == "password") {
            const std::string password = Param(req, "password");
            std::string problem = MailboxPasswordProblem(password);
            if (problem.empty() && !box.SetPassword(password)) problem = "could not write the password.";
            return Done(res, problem, "password of mailbox " + name + " changed");
        }
        if (what == "reply-text") {
            if (box.Type() != kMailboxResponder) return SendProblem(res, "'" + name + "' is not an auto-responder.");
            std::string text;
            std::string problem = ReplyTextProblem(Param(req, "text"), text);
            // Text 3: what the auto-responder sends when no title file answers.
            if (problem.empty() && !box.SetText(3, text)) problem = "could not write the reply text.";
            return Done(res, problem, "reply text of " + name + " changed");
        }
        // forward: an address turns it on, an empty field off.
        const std::string address = Param(req, "address");
        std::string problem = address.empty() ? "" : ForwardAddressProblem(address);
        if (problem.empty()) {
            const bool ok = address.empty() ? box.SetOption(1, 0) : box.SetText(1, address) && box.SetOption(1, 1);
            if (!ok) problem = "could not write to the configuration store.";
        }
        Done(res, problem, "forwarding of mailbox " + name + (address.empty() ? " off" : " to " + address));
    }

    // A list's folder, or "" with the refusal sent.
    static std::string ListFolder(const std::string& name, httplib::Response& res) {
        if (auto problem = NameProblem("mailbox", name); !problem.empty()) return SendProblem(res, problem), "";
        CMailbox box;
        if (!box.Open(name) || box.Type() != kMailboxList) return SendProblem(res, "'" + name + "' is not a list.", 404), "";
        return box.Directory();
    }

    static void Members(const httplib::Request& req, httplib::Response& res) {
        const std::string folder = ListFolder(Param(req, "list"), res);
        if (folder.empty()) return;
        std::vector<std::string> lines, members;
        ReadWorkFile(JoinPath(folder, kMembersFile), lines);  // a missing file means no members
        for (const auto& m : lines) {
            if (!m.empty()) members.push_back(JsonString(m));
        }
        CMailbox box;
        box.Open(Param(req, "list"));
        const uint32_t flags = box.GetOption(3);
        auto flag = [&](uint32_t bit) { return (flags & bit) != 0; };
        SendJson(res, Json()
                          .Raw("members", JsonArray(members))
                          .Raw("options", Json()
                                              .Str("owner", box.GetText(1))
                                              .Str("description", box.GetText(2))
                                              .Bool("archive", box.GetOption(1) != 0)
                                              .Bool("join-by-mail", box.GetOption(2) == 1)
                                              .Bool("reply-to", flag(kListReplyTo))
                                              .Bool("hidden", flag(kListHidden))
                                              .Bool("moderated", flag(kListModerated))
                                              .Bool("members-only", flag(kListMembersOnly))
                                              .Done())
                          .Done());
    }

    // Under the lock the list server takes too, as postvane-admin members add/remove does: a join
    // by mail at the same moment is not lost.
    static void MembersChange(const httplib::Request& req, httplib::Response& res) {
        const std::string list = Param(req, "list");
        const std::string folder = ListFolder(list, res);
        if (folder.empty()) return;
        std::string address;
        if (auto problem = ListMemberAddress(Param(req, "address"), address); !problem.empty()) {
            return SendProblem(res, problem);
        }
        const bool add = req.matches[1] == "add";
        std::string refusal;
        const auto result = robots::ChangeMembers(folder, [&](std::vector<std::string>& current) {
            auto it = std::find(current.begin(), current.end(), address);
            if (add && it != current.end()) refusal = address + " is already a member of " + list + ".";
            if (!add && it == current.end()) refusal = address + " is not a member of " + list + ".";
            if (!refusal.empty()) return false;
            if (add) current.push_back(address);
            if (!add) current.erase(it);
            return true;
        });
        if (!refusal.empty()) return SendProblem(res, refusal);
        Done(res, result == robots::MembersChange::Failed ? "could not write the members of " + list + "." : "",
             address + (add ? " added to " : " removed from ") + list);
    }

    static void AliasChange(const httplib::Request& req, httplib::Response& res) {
        const std::string name = Param(req, "name");
        if (req.matches[1] == "set") {
            return Done(res, SetAlias(name, SplitAddresses(Param(req, "addresses"))), "alias " + name + " set");
        }
        if (auto problem = NameProblem("alias", name); !problem.empty()) return SendProblem(res, problem);
        const bool ok = CRegistryKey("Alias", true).DeleteValue(name);
        Done(res, ok ? "" : "there is no alias '" + name + "'.", "alias " + name + " removed");
    }

    static void DomainChange(const httplib::Request& req, httplib::Response& res) {
        const std::string what = req.matches[1];
        const std::string name = Param(req, "name");
        if (auto problem = DomainNameProblem(name); !problem.empty()) return SendProblem(res, problem);
        CRegistryKey key("Domain", true);
        const bool exists = key.ReadBinary(name, nullptr, 0);
        const std::string primary = PrimaryDomain();
        if (what == "add") {
            if (exists) return SendProblem(res, "the domain '" + name + "' is already listed.");
            // The first domain becomes the primary one.
            return Done(res, key.WriteInt(name, primary.empty() ? 1 : 0) ? "" : "could not write the domain.",
                        "domain " + name + " added");
        }
        if (!exists) return SendProblem(res, "the domain '" + name + "' is not listed.", 404);
        if (what == "remove") {
            return Done(res, key.DeleteValue(name) ? "" : "could not remove the domain.", "domain " + name + " removed");
        }
        for (const auto& d : LocalDomains()) key.WriteInt(d, d == name ? 1 : 0);
        Done(res, "", "primary domain set to " + name);
    }

    // Send again: the set-aside envelope becomes a work file once more, under the outbox lock
    // every transmitter holds, so no run is reading the queue while it changes. The stall count
    // starts again. Delete removes the message and its envelope.
    static void QueueChange(const httplib::Request& req, httplib::Response& res) {
        const std::string name = Param(req, "name");
        if (!IsQueueName(name)) return SendProblem(res, "'" + name + "' is not a queue file name.");
        const std::string dir = QueueDirectory(kOutboxDir);
        const std::string base = JoinPath(dir, name);
        platform::FileLock lock;
        if (!lock.Lock(JoinPath(SpoolRoot(), kOutboxLockFile), false)) {
            return SendProblem(res, "The outbound queue is being sent right now; try again in a moment.", 409);
        }
        if (!FileExists(base + ".old")) return SendProblem(res, "there is no set-aside message '" + name + "'.", 404);
        if (req.matches[1] == "resend") {
            std::remove((base + ".cnt").c_str());
            const bool ok = FileExists(base + ".txt") && std::rename((base + ".old").c_str(), (base + ".wrk").c_str()) == 0;
            return Done(res, ok ? "" : "the message text of '" + name + "' is missing; it cannot be sent again.",
                        "message " + name + " queued to be sent again");
        }
        // The envelope first: a message text alone is removed at the next start.
        const bool ok = std::remove((base + ".old").c_str()) == 0;
        std::remove((base + ".txt").c_str());
        Done(res, ok ? "" : "could not delete '" + name + "'.", "set-aside message " + name + " deleted");
    }

    // Starts postvane-admin's device sign-in for the relay (target "relay") or a SmartPop
    // account already set up for OAuth2: the provider's address and code go to the page, which
    // then polls.
    void SignInStart(const httplib::Request& req, httplib::Response& res) {
        const std::string target = Param(req, "target");
        auth::OAuthPlace place;
        std::string method;
        if (target == "relay") {
            place = auth::RelayOAuthPlace();
            CRegistryKey("AdvCon", false).ReadString(auth::kRelayAuthValue, method);
        } else {
            if (!IsValidSmartPopAccount(target)) return SendProblem(res, Format(kSmartPopAccountText, target.c_str()));
            if (!SmartPopAccountExists(target)) return SendProblem(res, "there is no account '" + target + "'.", 404);
            place = auth::SmartPopOAuthPlace(target);
            CRegistryKey("SmartPop\\" + target, false).ReadString(auth::kSmartPopAuthValue, method);
        }
        if (auth::ParseLoginMethod(method) != auth::LoginMethod::OAuth2) {
            return SendProblem(res, place.what + " logs in with a password, not OAuth2; set OAuth2 up first with "
                                                 "postvane-admin (" + (target == "relay" ? "relay" : "smartpop") +
                                    " oauth setup).");
        }
        auth::OAuthSettings settings;
        std::string problem;
        if (!auth::ReadOAuthSettings(place, settings, problem)) return SendProblem(res, problem);
        auto signIn = std::make_shared<auth::CDeviceSignIn>(place, settings);
        if (!signIn->Start(problem)) return SendProblem(res, "the sign-in could not start: " + problem + ".", 502);
        const std::string id = RandomToken();
        {
            std::lock_guard lock(mutex);
            if (signIns.size() >= kMaxSignIns) signIns.erase(signIns.begin());
            signIns[id] = PendingSignIn{signIn, place.what, Clock::now() + std::chrono::seconds(signIn->IntervalSeconds())};
        }
        WriteLogLine("Web console: sign-in of " + place.what + " started");
        const auth::DeviceGrant& grant = signIn->Grant();
        SendJson(res, Json()
                          .Str("id", id)
                          .Str("address", grant.verificationUri)
                          .Str("completeAddress", grant.verificationUriComplete)
                          .Str("code", grant.userCode)
                          .Num("interval", static_cast<uint64_t>(signIn->IntervalSeconds()))
                          .Num("secondsLeft", static_cast<uint64_t>(std::max(0, signIn->SecondsLeft())))
                          .Done());
    }

    // One poll of a sign-in; "pending" until the provider says done or no. A poll before the
    // provider's interval has passed is answered "pending" without asking it.
    void SignInPoll(const httplib::Request& req, httplib::Response& res) {
        const std::string id = Param(req, "id");
        PendingSignIn entry;
        {
            std::lock_guard lock(mutex);
            auto it = signIns.find(id);
            if (it == signIns.end()) return SendProblem(res, "This sign-in has ended; start it again.", 404);
            if (Clock::now() < it->second.nextPoll) return SendJson(res, Json().Str("state", "pending").Done());
            entry = std::move(it->second);
            signIns.erase(it);
        }
        std::string error;
        const auth::PollOutcome outcome = entry.signIn->Poll(error);
        if (outcome == auth::PollOutcome::Pending || outcome == auth::PollOutcome::SlowDown) {
            entry.nextPoll = Clock::now() + std::chrono::seconds(entry.signIn->IntervalSeconds());
            std::lock_guard lock(mutex);
            signIns[id] = std::move(entry);
            return SendJson(res, Json().Str("state", "pending").Done());
        }
        if (outcome == auth::PollOutcome::Done) {
            WriteLogLine("Web console: " + entry.what + " signed in with OAuth2");
            return SendJson(res, Json().Str("state", "done").Done());
        }
        WriteLogLine("Web console: the sign-in of " + entry.what + " did not succeed: " + error);
        SendJson(res, Json().Str("state", "failed").Str("error", "The sign-in did not succeed: " + error + ".").Done());
    }

    // A failure report waiting or set aside in the outbound queue, deleted under the outbox
    // lock. Only reports: a message waiting to be sent is never deleted from here.
    static void ReportDelete(const httplib::Request& req, httplib::Response& res) {
        const std::string name = Param(req, "name");
        if (!IsQueueName(name)) return SendProblem(res, "'" + name + "' is not a queue file name.");
        const std::string base = JoinPath(QueueDirectory(kOutboxDir), name);
        platform::FileLock lock;
        if (!lock.Lock(JoinPath(SpoolRoot(), kOutboxLockFile), false)) {
            return SendProblem(res, "The outbound queue is being sent right now; try again in a moment.", 409);
        }
        for (const char* suffix : {".wrk", ".old"}) {
            std::vector<std::string> envelope;
            if (!ReadWorkFile(base + suffix, envelope)) continue;
            if (envelope.empty() || !IsReportSender(envelope.front())) {
                return SendProblem(res, "'" + name + "' is a message, not a failure report.");
            }
            // The envelope first: a message text alone is removed at the next start.
            const bool ok = std::remove((base + suffix).c_str()) == 0;
            std::remove((base + kStallCountSuffix).c_str());
            std::remove((base + ".txt").c_str());
            return Done(res, ok ? "" : "could not delete '" + name + "'.", "failure report " + name + " deleted");
        }
        SendProblem(res, "there is no failure report '" + name + "'.", 404);
    }

    static bool UsesOAuth(const std::string& key, const char* value) {
        std::string method;
        CRegistryKey(key, false).ReadString(value, method);
        return auth::ParseLoginMethod(method) == auth::LoginMethod::OAuth2;
    }

    static void Provider(httplib::Response& res) {
        const RelaySettings s = ReadRelaySettings();
        std::string gateway;
        CRegistryKey("", false).ReadString("Gateway", gateway);
        uint32_t rawPort = 0;
        const bool portSet = CRegistryKey("AdvCon", false).ReadInt(kRelayPortValue, rawPort);
        std::vector<std::string> accounts;
        std::vector<std::string> names;
        CRegistryKey("SmartPop", false).ListSubkeys(names);
        for (const auto& n : names) {
            std::string to, security, pin;
            uint32_t port = 0;
            CRegistryKey account("SmartPop\\" + n, false);
            account.ReadString("for", to);
            account.ReadString(kPopSecurityValue, security);
            account.ReadString(kPopFingerprintValue, pin);
            const bool portSet = account.ReadInt(kPopPortValue, port);
            const PopSecurity parsed = ParsePopSecurity(security);
            accounts.push_back(Json()
                                   .Str("account", n)
                                   .Str("deliverTo", to)
                                   .Str("security", parsed == PopSecurity::Invalid ? security : PopSecurityName(parsed))
                                   .Str("port", portSet ? std::to_string(port) : "")
                                   .Num("effectivePort", portSet ? port : DefaultPopPort(parsed))
                                   .Str("fingerprint", pin)
                                   .Bool("oauth", UsesOAuth("SmartPop\\" + n, auth::kSmartPopAuthValue))
                                   .Done());
        }
        uint32_t enabled = 0;
        CRegistryKey("SmartPop", false).ReadInt("Enable", enabled);
        // The schedule as the connection manager reads it (dialup/Schedule.h), in words.
        std::vector<std::string> schedule;
        CRegistryKey sched("Schedule", false);
        auto value = [&](const char* name, uint32_t fallback) {
            uint32_t v = fallback;
            sched.ReadInt(name, v);
            return v;
        };
        const auto checks = dialup::ReadCheckSwitches();
        if (checks.waiting) {
            schedule.push_back(JsonString("Connect when " + std::to_string(value("CountWaiting", 1)) +
                                          " message(s) wait to be sent"));
        }
        if (checks.age) {
            schedule.push_back(JsonString("Connect when a message has waited more than " +
                                          std::to_string(value("CountAge", 1)) + " minute(s)"));
        }
        if (checks.idle) {
            schedule.push_back(JsonString("Connect when more than " + std::to_string(value("CountIdle", 1)) +
                                          " minute(s) have passed since the last session"));
        }
        if (value("UseAdvanced", 0)) {
            for (const char* set : {"a", "b"}) {
                std::string times;
                uint32_t days = 0;
                CRegistryKey entry(std::string("Schedule\\") + set, false);
                entry.ReadString("Times", times);
                if (!entry.ReadInt("dow", days)) continue;
                std::string dayNames;
                static constexpr const char* kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
                for (int d = 0; d < 7; ++d) {
                    if (days & (1u << d)) dayNames += std::string(dayNames.empty() ? "" : " ") + kDays[d];
                }
                schedule.push_back(JsonString("Connect at " + (times.empty() ? std::string("(no times)") : times) +
                                              " on " + (dayNames.empty() ? std::string("no day") : dayNames)));
            }
        }
        SendJson(res, Json()
                          .Str("gateway", gateway)
                          .Str("port", portSet ? std::to_string(rawPort) : "")
                          .Num("effectivePort", s.port)
                          .Str("security", s.security == RelaySecurity::Unset ? "" : RelaySecurityName(s.security))
                          .Str("user", s.user)
                          .Bool("passwordSet", !s.password.empty())
                          .Bool("relayOAuth", UsesOAuth("AdvCon", auth::kRelayAuthValue))
                          .Raw("smartpop", JsonArray(accounts))
                          .Bool("smartpopEnabled", enabled != 0)
                          .Raw("schedule", JsonArray(schedule))
                          .Raw("scheduleSettings", ScheduleSettingsJson())
                          .Done());
    }

    // The schedule's values as the form shows them: a count of 0 is shown as 1, as the
    // applet's page shows it.
    static std::string ScheduleSettingsJson() {
        CRegistryKey sched(kScheduleKey, false);
        Json json;
        for (const ScheduleCondition& c : kScheduleConditions) {
            uint32_t on = 0, count = 0;
            sched.ReadIntOrZero(c.checkName, on);
            sched.ReadIntOrZero(c.countName, count);
            json.Bool(c.checkName, on != 0).Num(c.countName, count < 1 ? 1 : count);
        }
        uint32_t advanced = 0;
        sched.ReadIntOrZero("UseAdvanced", advanced);
        json.Bool("UseAdvanced", advanced != 0);
        for (const char* set : kScheduleSets) {
            CRegistryKey key(std::string(kScheduleKey) + "\\" + set, false);
            uint32_t days = 0;
            std::string times;
            key.ReadIntOrZero("dow", days);
            key.ReadString("Times", times);
            json.Raw(set, Json().Num("days", days & kAllDays).Str("times", times).Done());
        }
        return json.Done();
    }

    // The applet's schedule page and its Advanced dialog in one form, with their checks (the
    // shared ones in core/SettingChecks.h), every field checked before anything is written.
    static void ScheduleChange(const httplib::Request& req, httplib::Response& res) {
        uint32_t counts[std::size(kScheduleConditions)] = {};
        for (size_t i = 0; i < std::size(kScheduleConditions); ++i) {
            const ScheduleCondition& c = kScheduleConditions[i];
            if (auto problem = CheckLimit(Param(req, c.countName), c.most, c.what, counts[i]); !problem.empty()) {
                return SendProblem(res, problem);
            }
        }
        uint32_t days[2] = {};
        std::string times[2];
        for (int s = 0; s < 2; ++s) {
            const std::string set = kScheduleSets[s];
            for (int d = 0; d < 7; ++d) {
                if (Param(req, (set + "-day" + std::to_string(d)).c_str()) == "on") days[s] |= 1u << d;
            }
            if (auto problem = CheckScheduleTimes(Param(req, (set + "-times").c_str()), times[s]); !problem.empty()) {
                return SendProblem(res, problem);
            }
        }
        if (auto problem = CheckScheduleDays(days[0], days[1]); !problem.empty()) return SendProblem(res, problem);
        CRegistryKey sched(kScheduleKey, true);
        bool ok = sched.IsOpen();
        for (size_t i = 0; i < std::size(kScheduleConditions); ++i) {
            const ScheduleCondition& c = kScheduleConditions[i];
            ok = ok && sched.WriteInt(c.checkName, Param(req, c.checkName) == "on" ? 1 : 0) &&
                 sched.WriteInt(c.countName, counts[i]);
        }
        ok = ok && sched.WriteInt("UseAdvanced", Param(req, "UseAdvanced") == "on" ? 1 : 0);
        for (int s = 0; s < 2; ++s) {
            CRegistryKey key(std::string(kScheduleKey) + "\\" + kScheduleSets[s], true);
            ok = ok && key.IsOpen() && key.WriteInt("dow", days[s]) && key.WriteString("Times", times[s]);
        }
        Done(res, ok ? "" : "could not write the schedule.", "schedule changed");
    }

    // The checks and values of postvane-admin smartpop add/remove/enable/disable.
    static void SmartPopChange(const httplib::Request& req, httplib::Response& res) {
        const std::string what = req.matches[1];
        if (what == "enable" || what == "disable") {
            const bool ok = CRegistryKey("SmartPop", true).WriteInt("Enable", what == "enable" ? 1 : 0);
            return Done(res, ok ? "" : "could not write SmartPop\\Enable.", "SmartPop " + what + "d");
        }
        const std::string account = Param(req, "account");
        if (!IsValidSmartPopAccount(account)) return SendProblem(res, Format(kSmartPopAccountText, account.c_str()));
        const bool exists = SmartPopAccountExists(account);
        if (what == "remove") {
            if (!exists) return SendProblem(res, "there is no account '" + account + "'.", 404);
            const bool ok = CRegistryKey("SmartPop", true).DeleteSubkey(account);
            return Done(res, ok ? "" : "could not remove the account.", "SmartPop account " + account + " removed");
        }
        if (what == "edit") {
            if (!exists) return SendProblem(res, "there is no account '" + account + "'.", 404);
            return SmartPopEdit(req, res, account);
        }
        if (exists) return SendProblem(res, "the account '" + account + "' exists already.");
        const std::string password = Param(req, "password");
        const std::string deliverTo = Param(req, "deliverTo");
        if (!IsProtocolSafe(password)) return SendProblem(res, Format(kProtocolUnsafeText, "The password"));
        if (!deliverTo.empty()) {
            if (auto problem = DeliverToProblem(deliverTo); !problem.empty()) return SendProblem(res, problem);
        }
        CRegistryKey key("SmartPop\\" + account, true);
        const bool ok = key.IsOpen() && key.WriteString("pwd", password) && key.WriteString("for", deliverTo);
        Done(res, ok ? "" : "could not write the account.", "SmartPop account " + account + " added");
    }

    // An account's port (empty: the usual one for its security), security and certificate pin
    // (empty: none), with postvane-admin smartpop's checks, all before anything is written.
    // The account's other values (password, recipient, sign-in) stay as they are.
    static void SmartPopEdit(const httplib::Request& req, httplib::Response& res, const std::string& account) {
        const std::string portText = Param(req, "port");
        const std::string pinText = Param(req, "fingerprint");
        uint32_t port = 0;
        if (!portText.empty()) {
            if (auto problem = CheckPort(portText, port); !problem.empty()) return SendProblem(res, problem);
        }
        PopSecurity security = PopSecurity::None;
        if (auto problem = CheckPopSecurity(Param(req, "security"), security); !problem.empty()) {
            return SendProblem(res, problem);
        }
        std::string pin;
        if (!pinText.empty()) {
            if (auto problem = CheckFingerprint(pinText, pin); !problem.empty()) return SendProblem(res, problem);
        }
        CRegistryKey key("SmartPop\\" + account, true);
        bool ok = key.IsOpen() && key.WriteString(kPopSecurityValue, PopSecurityName(security));
        if (portText.empty()) {
            key.DeleteValue(kPopPortValue);
        } else {
            ok = ok && key.WriteInt(kPopPortValue, port);
        }
        if (pin.empty()) {
            key.DeleteValue(kPopFingerprintValue);
        } else {
            ok = ok && key.WriteString(kPopFingerprintValue, pin);
        }
        Done(res, ok ? "" : "could not write the account.", "SmartPop account " + account + " changed");
    }

    // Every field is checked before anything is written, with the admin tool's checks.
    static void RelayChange(const httplib::Request& req, httplib::Response& res) {
        const std::string gateway = Param(req, "gateway");
        const std::string portText = Param(req, "port");
        const std::string securityText = Param(req, "security");
        const std::string user = Param(req, "user");
        const std::string password = Param(req, "password");
        if (!IsProtocolSafe(gateway) || gateway.find_first_of(" /\\@,") != std::string::npos) {
            return SendProblem(res, "'" + gateway + "' is not a host name.");
        }
        uint32_t port = 0;
        if (!portText.empty()) {
            if (auto problem = CheckPort(portText, port); !problem.empty()) return SendProblem(res, problem);
        }
        const RelaySecurity security = securityText.empty() ? RelaySecurity::Unset : ParseRelaySecurity(securityText);
        if (security == RelaySecurity::Invalid) {
            return SendProblem(res, "'" + securityText + "' is not a security: choose none, starttls or tls.");
        }
        if (!user.empty()) {
            if (auto problem = CheckRelayUser(user); !problem.empty()) return SendProblem(res, problem);
        }
        // An empty password field keeps the stored one.
        if (!password.empty()) {
            if (auto problem = CheckRelayPassword(password); !problem.empty()) return SendProblem(res, problem);
        }
        CRegistryKey root("", true);
        CRegistryKey key("AdvCon", true);
        bool ok = root.WriteString("Gateway", gateway);
        ok = ok && (portText.empty() ? (key.DeleteValue(kRelayPortValue), true) : key.WriteInt(kRelayPortValue, port));
        if (security == RelaySecurity::Unset) {
            key.DeleteValue(kRelaySecurityValue);
        } else {
            ok = ok && key.WriteString(kRelaySecurityValue, RelaySecurityName(security));
        }
        if (user.empty()) {
            key.DeleteValue(kRelayUserValue);
            key.DeleteValue(kRelayPasswordValue);  // a password for nobody has no use
        } else {
            ok = ok && key.WriteString(kRelayUserValue, user);
            if (!password.empty()) ok = ok && key.WriteBinary(kRelayPasswordValue, password.data(), password.size());
        }
        Done(res, ok ? "" : "could not write the relay settings.", "relay set to " + gateway);
    }
};

CWebConsole::CWebConsole() : impl_(std::make_unique<Impl>()) {}

CWebConsole::~CWebConsole() { Stop(); }

bool CWebConsole::Start() {
    CRegistryKey adv("AdvCon", false);
    uint32_t port = 0;
    if (!adv.ReadInt(kWebPortValue, port) || port == 0) return false;
    if (port > 65535) {
        WriteLogLine("Web console: AdvCon\\WebPort " + std::to_string(port) +
                     " is not a port; the console stays off. Set it with postvane-admin web port N.");
        return false;
    }
    std::string cert, key;
    adv.ReadString(net::kTlsCertificateValue, cert);
    adv.ReadString(net::kTlsKeyValue, key);
    if (cert.empty() || key.empty()) {
        WriteLogLine("Web console: no TLS certificate is set (AdvCon\\TlsCertificate, AdvCon\\TlsKey); the console "
                     "stays off rather than send passwords in clear. Run postvane-wizard to make one.");
        return false;
    }
    if (sodium_init() < 0) {
        WriteLogLine("Web console: the password library could not start; the console stays off.");
        return false;
    }
    impl_->server = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
    if (!impl_->server->is_valid()) {
        WriteLogLine("Web console: the certificate " + cert + " or its key " + key +
                     " cannot be used; the console stays off. Check both files (PEM) and their permissions.");
        impl_->server.reset();
        return false;
    }
    auto& s = *impl_->server;
    s.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
    s.set_payload_max_length(kMaxRequestBody);
    s.set_read_timeout(kReadTimeoutSeconds, 0);
    s.set_write_timeout(kReadTimeoutSeconds, 0);
    s.set_keep_alive_timeout(kReadTimeoutSeconds);
    impl_->Routes();
    // The HTTP library listens on one address: the first `AdvCon\BindAddress` lists, else every
    // address of both families.
    std::string bindList;
    adv.ReadString("BindAddress", bindList);
    const std::vector<std::string> listed = SplitAddresses(bindList);
    std::string bindAddress = listed.empty() ? "::" : listed.front();
    if (bindAddress.size() > 2 && bindAddress.front() == '[' && bindAddress.back() == ']') {
        bindAddress = bindAddress.substr(1, bindAddress.size() - 2);
    }
    if (listed.size() > 1) {
        WriteLogLine("Web console: AdvCon\\BindAddress lists " + std::to_string(listed.size()) +
                     " addresses; the console listens on the first, " + bindAddress + ", only");
    }
    if (!s.bind_to_port(bindAddress, static_cast<int>(port))) {
        WriteLogLine("Web console: cannot listen on port " + std::to_string(port) + " of " + bindAddress +
                     "; another program may use it. Choose another with postvane-admin web port N.");
        impl_->server.reset();
        return false;
    }
    WriteLogLine("Web console listening on https port " + std::to_string(port));
    thread_ = std::thread([this] { impl_->server->listen_after_bind(); });
    return true;
}

void CWebConsole::Stop() {
    if (impl_->server) impl_->server->stop();
    if (thread_.joinable()) thread_.join();
    impl_->server.reset();
}

}  // namespace pv::web
