// The table of programs, filled from the paths the build gives (an empty
// path: the program is not built here).
#include "programs.h"

#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>


namespace harness {

namespace {

// A failed bind, accept or thread as robix's reporters print them.
void robix_reports(program_t &row) {
    row.bind_status = 1;  // robix's reporters end with status 1
    row.bind_err = "Open_listenfd error: Address already in use\n";
    row.accept_line = "Accept error: <ERROR>\n";
    row.accept_on_stderr = true;
    row.eintr_silent = true;
    row.upstream = "GET /after HTTP/1.0\r\nHost: 127.0.0.1:<ORIGIN>\r\n\r\n";
}

// A row with its name and binaries.
program_t row_of(const std::string &name, const std::string &binary, const std::string &short_binary) {
    program_t row;
    row.name = name;
    row.binary = binary;
    row.short_binary = short_binary;
    return row;
}

std::vector<program_t> all_rows() {
    std::vector<program_t> rows;
    program_t stamp = row_of("stampproxy", STAMPPROXY_BIN, STAMPPROXY_SHORT_BIN);
    stamp.probe_done = "\nCLIENT_ERR_REQUEST\n";
    stamp.probe_cut = "START-REQUEST";
    // No line end after the Port line: the probe's block continues it.
    stamp.probe_out = "Port <PORT> at time <N>" + RULE;
    stamp.banner = "Port <PORT> at time ";
    stamp.flush_out = "\nCLIENT_ERR_REQUEST\n" + RULE + "\n";
    stamp.bind_status = 255;
    stamp.bind_out = "Port <PORT> at time <N>ERR bind errno 98 - Address already in use\n";
    stamp.upstream = "GET /after HTTP/1.0\r\nHost: 127.0.0.1:<ORIGIN>\r\nConnection: close\r\n\r\n";
    stamp.hit_line = "CACHE_HIT_REQUEST";
    stamp.unresolved_line = "ERR did not resolve name ";
    stamp.accept_line = "ERR accepting connection failure errno <ERRNO> - <ERROR>\n";
    stamp.unusable_status = 255;
    stamp.stored_line = "Adding new entry !";
    for (const char *label :
         {"CLIENT_ERR_REQUEST", "CACHE_HIT_REQUEST", "REGULAR_EXIT", "WRITE_ERROR_EXIT"}) {
        stamp.conn_ends.push_back("\n" + RULE + label + "\n");
    }
    stamp.transcript = true;
    stamp.read_line = "Server recieved <SIZE> bytes\n";
    stamp.reset.out = "ERR reading from server errno <ERRNO> - <ERROR>\n";
    stamp.vanish.out = "ERR writing to client errno <ERRNO> - <ERROR>\n";
    // The request's deadline covers its header block.
    stamp.late_request.out = "ERR rio_readlineb from client failed errno <ERRNO> - <ERROR>\n\n" + RULE +
                             "CLIENT_ERR_REQUEST\n";
    stamp.late_header = stamp.late_request;
    stamp.late_origin.out = stamp.reset.out + "\n" + RULE + "REGULAR_EXIT\n";
    stamp.late_browser = stamp.vanish;
    stamp.other_methods = true;
    stamp.private_requests = true;
    rows.push_back(stamp);

    program_t stage = row_of("stageproxy", STAGEPROXY_BIN, STAGEPROXY_SHORT_BIN);
    stage.quiet = {"0"};
    stage.probe_done = "Disconnected.\n";
    stage.probe_out = "Marlowin proxy is listening on socket: <PORT>.\nDisconnected.\n";
    stage.probe_err = "Error: Must be GET request.\nError: Invalid HTTP Request.\n";
    stage.banner = "Marlowin proxy is listening on socket: <PORT>.\n";
    stage.flush_request = "GET http://127.0.0.1:<ORIGIN>/f HTTP/1.0\r\n\r\n";
    stage.flush_out = stage.banner + "Disconnected.\nSuccessfully cached.\nDisconnected.\n";
    stage.flush_whole = true;
    robix_reports(stage);
    stage.hit_line = "Successfully sent (<URL>) from cache directly to browser.\n";
    stage.stored_line = "Successfully cached.\n";
    stage.unresolved_line = "Error: Unable to connect to remote server.\n";
    stage.unresolved_on_stderr = true;
    stage.unusable_status = 1;
    stage.conn_ends = {"Disconnected.\n"};
    stage.quiet_end = "Disconnected.\n";
    stage.relays_lines = true;
    stage.late_request.err = "Error: Invalid HTTP Request.\n";
    stage.late_header.err = "Error: Failed to complete communication with webserver.\n";
    stage.late_header_upstream = "GET <PATH> HTTP/1.0\r\n";
    stage.late_origin.err = "Error: Unabled to cache and send reply to browser.\n";
    stage.late_browser = stage.late_origin;
    stage.reset = {"Sig Conn detected - aborting connection thread.\n", stage.late_origin.err};
    stage.vanish = {"Sig Pipe detected - aborting connection thread.\n", stage.late_origin.err};
    stage.private_requests = true;
    rows.push_back(stage);

    program_t slot = row_of("slotproxy", SLOTPROXY_BIN, SLOTPROXY_SHORT_BIN);
    slot.flush_request = "GET /nowhere HTTP/1.0\r\nHost: x\r\nUser-Agent: t\r\n\r\n";
    slot.flush_out = "invalid host\n";
    slot.flush_whole = true;
    robix_reports(slot);  // and no accept failure ends it
    slot.miss_reads_all = true;
    slot.unresolved_line = "invalid host\n";
    slot.relays_lines = true;
    slot.reset.err = "Rio_readlineb error: <ERROR>\n";
    slot.vanish.err = "Rio_writen error: <ERROR>\n";
    rows.push_back(slot);

    std::vector<program_t> built;
    for (const program_t &row : rows) {
        if (!row.binary.empty()) built.push_back(row);
    }
    return built;
}

}  // namespace

const std::vector<program_t> &programs() {
    static const std::vector<program_t> rows = all_rows();
    return rows;
}

std::vector<program_t> programs_where(const std::function<bool(const program_t &)> &keep) {
    std::vector<program_t> rows;
    for (const program_t &row : programs()) {
        if (keep(row)) rows.push_back(row);
    }
    return rows;
}

const program_t &program_named(const std::string &name) {
    for (const program_t &row : programs()) {
        if (row.name == name) return row;
    }
    ADD_FAILURE() << name << " has no row: it is not built here";
    static const program_t none{};
    return none;
}

void PrintTo(const program_t &row, std::ostream *os) { *os << row.name; }

std::string substitute(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

void env_guard_t::set(const std::string &name, const std::string &value) {
    const char *old = getenv(name.c_str());
    saved.emplace_back(name, old != nullptr ? old : std::string("\x01"));
    setenv(name.c_str(), value.c_str(), 1);
}

env_guard_t::~env_guard_t() {
    for (auto it = saved.rbegin(); it != saved.rend(); ++it) {
        if (it->second == "\x01") {
            unsetenv(it->first.c_str());
        } else {
            setenv(it->first.c_str(), it->second.c_str(), 1);
        }
    }
}

void preload_shim(env_guard_t &env, bool malloc_faults) {
    env.set("LD_PRELOAD", malloc_faults ? FAULTS_MALLOC_SHIM : FAULTS_SHIM);
    const char *asan = getenv("ASAN_OPTIONS");
    env.set("ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0");
}

int connection_fds(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return -1;
    int sockets = 0;
    for (struct dirent *e = readdir(d); e != nullptr; e = readdir(d)) {
        char link[64];
        ssize_t n = readlink((dir + e->d_name).c_str(), link, sizeof link - 1);
        if (n <= 0) continue;
        link[n] = '\0';
        if (strncmp(link, "socket:", 7) == 0) sockets++;
    }
    closedir(d);
    return sockets - 1;
}

bool wait_connection_fds(pid_t pid, int n, ms deadline) {
    return wait_until([&] { return connection_fds(pid) == n; }, deadline);
}

void expect_idle(const process_t &p) {
    EXPECT_TRUE(wait_connection_fds(p.pid, 0, ms(10000))) << connection_fds(p.pid);
    EXPECT_TRUE(wait_threads(p.pid, 1 + RUNTIME_THREADS, ms(10000))) << count_threads(p.pid);
}

void expect_no_sanitizer_report(const process_t &p) {
    const std::string err = read_stderr(p);
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
    EXPECT_EQ(err.find("runtime error:"), std::string::npos) << err;
}

void stop_and_remove(process_t &p) {
    stop_process(p);
    if (!p.out_path.empty()) unlink(p.out_path.c_str());
    if (!p.err_path.empty()) unlink(p.err_path.c_str());
}

started_t::~started_t() { stop_and_remove(p); }

running_t::~running_t() {
    stop_and_remove(proxy);
    origin_stop(origin);
}

bool start_running(running_t &r, const std::string &binary, const std::vector<std::string> &extra) {
    const ms deadline(10000);
    if (r.origin.listen_fd < 0 && !origin_start(r.origin)) return false;
    if (!start_server(r.proxy, binary, extra)) return false;
    if (!r.row.probe_done.empty() && !wait_output(r.proxy, r.row.probe_done, deadline)) return false;
    if (!wait_connection_fds(r.proxy.pid, 0, deadline)) return false;
    mark_console(r);
    return true;
}

bool start_running(running_t &r) { return start_running(r, r.row.binary, r.row.quiet); }

bool start_faulted(running_t &r, const std::string &name, const std::string &plan,
                   bool wait_probe, bool malloc_faults) {
    env_guard_t env;
    preload_shim(env, malloc_faults);
    env.set(name, plan);
    if (wait_probe) return start_running(r);
    return (r.origin.listen_fd >= 0 || origin_start(r.origin)) &&
           start_server(r.proxy, r.row.binary, r.row.quiet);
}

std::string accept_stream(const process_t &p, const program_t &row) {
    return row.accept_on_stderr ? err_after_probe(p, row) : read_stdout(p);
}

std::string err_after_probe(const process_t &p, const program_t &row) {
    std::string err = read_stderr(p);
    size_t start = 0;
    while (start < row.probe_err.size()) {
        size_t end = row.probe_err.find('\n', start) + 1;
        const std::string line = row.probe_err.substr(start, end - start);
        size_t at = err.find(line);
        if (at != std::string::npos) err.erase(at, line.size());
        start = end;
    }
    return err;
}

std::string origin_url(const running_t &r, const std::string &path) {
    return origin_url(r.origin, path);
}

std::string get_request(const running_t &r, const std::string &path, const std::string &headers) {
    return "GET " + origin_url(r, path) + " HTTP/1.0\r\n" + headers + "\r\n";
}

void route(running_t &r, const std::string &path, const std::string &bytes, origin_end_t end) {
    origin_reply_t reply;
    reply.bytes = bytes;
    reply.end = end;
    if (path.empty()) {
        origin_default(r.origin, reply);
    } else {
        origin_route(r.origin, path, reply);
    }
}

bool start_origin(running_t &r, const std::string &bytes) {
    route(r, "", bytes);
    return origin_start(r.origin);
}

namespace {
// The size of a captured stream's file: where what comes next will start.
size_t file_size(const std::string &path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 ? (size_t)st.st_size : 0;
}
}  // namespace

void mark_console(running_t &r) {
    r.out_mark = file_size(r.proxy.out_path);
    r.err_mark = file_size(r.proxy.err_path);
    r.ended = 0;
}

// Only what came after the mark is read: the polls of wait_ended would
// otherwise read a growing transcript whole every few milliseconds.
std::string out_since(const running_t &r) { return read_file(r.proxy.out_path, r.out_mark); }
std::string err_since(const running_t &r) { return read_file(r.proxy.err_path, r.err_mark); }

bool wait_ended(running_t &r, int n, ms deadline) {
    if (r.row.conn_ends.empty()) return wait_connection_fds(r.proxy.pid, 0, deadline);
    return wait_until([&] {
        const std::string out = out_since(r);
        int seen = 0;
        for (const std::string &needle : r.row.conn_ends) seen += occurrences(out, needle);
        return seen >= n;
    }, deadline);
}

client_result_t ask(running_t &r, const std::string &request, const client_opts_t &opts) {
    client_result_t got = client_exchange(r.proxy.port, request, ms(10000), opts);
    EXPECT_TRUE(wait_ended(r, ++r.ended, ms(10000))) << "the connection has not ended";
    return got;
}

}  // namespace harness
