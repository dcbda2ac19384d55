// Smoke test of the wine serial rig, and a record of how wine's COM ports behave on a pseudo-terminal.
//
//   compeer --com 5 --shim modemshim.so -- timeout 60 wine rigcheck.exe
//
// Standard output and input are compeer's command channel; results go to standard error, one line each:
// PASS or FAIL for what the rig must provide, FACT for behaviour worth knowing. The exit status is the
// number of failures. Build: x86_64-w64-mingw32-g++-posix -std=c++20 -O2 -static -o rigcheck.exe rigcheck.cpp
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

HANDLE g_port = INVALID_HANDLE_VALUE;
int g_failures = 0;
std::string g_input; // answer bytes read past the current line

void report(const char *tag, const char *fmt, va_list ap)
{
    std::fprintf(stderr, "%-4s ", tag);
    std::vfprintf(stderr, fmt, ap);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

void fact(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    report("FACT", fmt, ap);
    va_end(ap);
}

bool check(bool ok, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    report(ok ? "PASS" : "FAIL", fmt, ap);
    va_end(ap);
    if (!ok)
        ++g_failures;
    return ok;
}

double nowMs()
{
    static LARGE_INTEGER freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return 1000.0 * double(t.QuadPart) / double(freq.QuadPart);
}

// One command to compeer, one line back.
std::string ask(const std::string &command)
{
    std::string line = command + "\n";
    DWORD written = 0;
    if (!WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), DWORD(line.size()), &written, nullptr) ||
        written != line.size()) {
        std::fprintf(stderr, "cannot write to the peer (error %lu): is this run under compeer?\n",
                     GetLastError());
        std::exit(100);
    }
    for (;;) {
        size_t end = g_input.find('\n');
        if (end != std::string::npos) {
            std::string answer = g_input.substr(0, end);
            g_input.erase(0, end + 1);
            return answer;
        }
        char buf[65536];
        DWORD got = 0;
        if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), buf, sizeof buf, &got, nullptr) || got == 0) {
            std::fprintf(stderr, "the peer closed the channel (error %lu)\n", GetLastError());
            std::exit(100);
        }
        g_input.append(buf, got);
    }
}

std::string toHex(const std::vector<unsigned char> &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : bytes) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

// Gathers what the peer received until count bytes or the time is up.
std::vector<unsigned char> peerTake(size_t count, double timeoutMs)
{
    std::vector<unsigned char> got;
    const double deadline = nowMs() + timeoutMs;
    while (got.size() < count) {
        std::string answer = ask("recv " + std::to_string(count - got.size()));
        if (answer.rfind("data ", 0) != 0) {
            check(false, "peer answers recv with data, got \"%s\"", answer.c_str());
            break;
        }
        for (size_t i = 5; i + 1 < answer.size(); i += 2)
            got.push_back((unsigned char)std::stoi(answer.substr(i, 2), nullptr, 16));
        if (got.size() < count) {
            if (nowMs() > deadline)
                break;
            Sleep(2);
        }
    }
    return got;
}

// Counts what the peer receives until it has been quiet for quietMs.
size_t peerCountUntilQuiet(double quietMs)
{
    size_t total = 0;
    double last = nowMs();
    while (nowMs() - last < quietMs) {
        size_t n = (ask("recv 1000000").size() - 5) / 2;
        if (n > 0) {
            total += n;
            last = nowMs();
        }
        Sleep(5);
    }
    return total;
}

struct Overlapped {
    OVERLAPPED ov{};
    Overlapped() { ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() { CloseHandle(ov.hEvent); }
    Overlapped(const Overlapped &) = delete;
    Overlapped &operator=(const Overlapped &) = delete;
};

// A WaitCommEvent in flight; started() tells whether it went pending.
struct PendingWait {
    Overlapped o;
    DWORD mask = 0;
    BOOL immediate = FALSE;
    DWORD error = 0;
    PendingWait()
    {
        immediate = WaitCommEvent(g_port, &mask, &o.ov);
        error = immediate ? 0 : GetLastError();
    }
    bool pending() const { return !immediate && error == ERROR_IO_PENDING; }
    // Waits up to ms for the end; returns false when still pending.
    bool finish(DWORD ms, BOOL *ok, DWORD *err)
    {
        if (WaitForSingleObject(o.ov.hEvent, ms) != WAIT_OBJECT_0)
            return false;
        DWORD n = 0;
        *ok = GetOverlappedResult(g_port, &o.ov, &n, FALSE);
        *err = *ok ? 0 : GetLastError();
        return true;
    }
    // Ends a wait still pending so that its OVERLAPPED can go.
    void end()
    {
        if (!pending() || WaitForSingleObject(o.ov.hEvent, 0) == WAIT_OBJECT_0)
            return;
        SetCommMask(g_port, EV_RXCHAR);
        if (WaitForSingleObject(o.ov.hEvent, 2000) != WAIT_OBJECT_0) {
            std::fprintf(stderr, "a WaitCommEvent does not end: cannot go on safely\n");
            std::exit(101);
        }
    }
};

bool setLine(DWORD baud, BYTE stopBits)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(g_port, &dcb))
        return false;
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = stopBits;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    return SetCommState(g_port, &dcb);
}

std::vector<unsigned char> pattern(size_t n, unsigned seed)
{
    std::vector<unsigned char> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = (unsigned char)((i * 7 + i / 251 + seed) & 0xff);
    return bytes;
}

// Reads what the port holds, up to count bytes within ms (reads return at once with these timeouts).
// Waits up to ms for an overlapped read or write; one still pending then is cancelled, so that its buffer and
// OVERLAPPED can go. Returns whether it completed in time; n and err tell how.
bool finishIo(OVERLAPPED &ov, DWORD ms, DWORD *n, DWORD *err)
{
    bool inTime = WaitForSingleObject(ov.hEvent, ms) == WAIT_OBJECT_0;
    if (!inTime) {
        CancelIoEx(g_port, &ov);
        if (WaitForSingleObject(ov.hEvent, 2000) != WAIT_OBJECT_0) {
            std::fprintf(stderr, "a cancelled read or write does not end: cannot go on safely\n");
            std::exit(101);
        }
    }
    *n = 0;
    BOOL ok = GetOverlappedResult(g_port, &ov, n, FALSE);
    *err = ok ? 0 : GetLastError();
    return inTime;
}

// Reads what the port holds, up to count bytes within ms.
std::vector<unsigned char> portRead(size_t count, double ms)
{
    std::vector<unsigned char> got;
    const double deadline = nowMs() + ms;
    while (got.size() < count) {
        Overlapped o;
        unsigned char buf[4096];
        DWORD n = 0, err = 0;
        DWORD want = DWORD(count - got.size() < sizeof buf ? count - got.size() : sizeof buf);
        if (!ReadFile(g_port, buf, want, &n, &o.ov)) {
            double left = deadline - nowMs();
            if (GetLastError() != ERROR_IO_PENDING)
                break;
            finishIo(o.ov, left > 0 ? DWORD(left) : 0, &n, &err);
        }
        got.insert(got.end(), buf, buf + n);
        if (nowMs() > deadline)
            break;
        if (n == 0)
            Sleep(2);
    }
    return got;
}

void checkAttributes(const char *expected, const char *when)
{
    std::string attr = ask("attr");
    check(attr.find(expected) != std::string::npos, "peer sees %s after %s: %s", expected, when,
          attr.c_str());
}

} // namespace

int main()
{
    const char *com = std::getenv("LIAISON_PEER_COM");
    if (!com) {
        std::fprintf(stderr, "LIAISON_PEER_COM is not set: run this under compeer\n");
        return 100;
    }
    const std::string name = std::string("\\\\.\\COM") + com;
    g_port = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
    if (!check(g_port != INVALID_HANDLE_VALUE, "open %s overlapped (error %lu)", name.c_str(),
               g_port == INVALID_HANDLE_VALUE ? GetLastError() : 0))
        return g_failures;

    // Line settings as the program applies them, seen from the far end.
    check(setLine(CBR_19200, TWOSTOPBITS), "SetCommState 19200, 2 stop bits");
    checkAttributes("ispeed=19200 ospeed=19200 csize=8 parenb=0 cstopb=1", "19200 8N2");
    check(setLine(CBR_9600, ONESTOPBIT), "SetCommState 9600 8N1");
    checkAttributes("ispeed=9600 ospeed=9600 csize=8 parenb=0 cstopb=0 crtscts=0 ixon=0 ixoff=0", "9600 8N1");
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    check(SetCommTimeouts(g_port, &timeouts), "SetCommTimeouts: reads return at once");

    BOOL dtr = EscapeCommFunction(g_port, SETDTR);
    check(dtr, "EscapeCommFunction(SETDTR) (error %lu)", dtr ? 0 : GetLastError());
    DWORD modem = 0;
    BOOL status = GetCommModemStatus(g_port, &modem);
    check(status && (modem & (MS_DSR_ON | MS_CTS_ON | MS_RLSD_ON)) == (MS_DSR_ON | MS_CTS_ON | MS_RLSD_ON),
          "GetCommModemStatus shows DSR, CTS and CD (ok %d, status 0x%lx, error %lu)", status, modem,
          status ? 0 : GetLastError());

    {
        Overlapped o;
        unsigned char buf[16];
        DWORD n = 0, err = 0;
        const double t0 = nowMs();
        BOOL r = ReadFile(g_port, buf, sizeof buf, &n, &o.ov);
        DWORD first = r ? 0 : GetLastError();
        if (r || first != ERROR_IO_PENDING) {
            fact("ReadFile with nothing received: returns %s at once, %lu bytes (error %lu)",
                 r ? "TRUE" : "FALSE", n, first);
        } else if (WaitForSingleObject(o.ov.hEvent, 300) == WAIT_OBJECT_0) {
            r = GetOverlappedResult(g_port, &o.ov, &n, FALSE);
            fact("ReadFile with nothing received: ERROR_IO_PENDING, then completes %d after %.1f ms with %lu "
                 "bytes",
                 r, nowMs() - t0, n);
        } else {
            ask("send 55");
            const double sent = nowMs();
            bool inTime = finishIo(o.ov, 1000, &n, &err);
            fact("ReadFile with nothing received: ERROR_IO_PENDING, still pending at 300 ms; after the peer "
                 "sends "
                 "one byte it %s %.1f ms later with %lu byte(s) %s (error %lu)",
                 inTime ? "completes" : "is still pending, cancelled", nowMs() - sent, n,
                 n == 1 && buf[0] == 0x55 ? "(the byte sent)" : "", err);
        }
    }
    {
        COMMTIMEOUTS t{};
        GetCommTimeouts(g_port, &t);
        fact("GetCommTimeouts reads back interval 0x%lx, multiplier %lu, constant %lu", t.ReadIntervalTimeout,
             t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant);
    }

    // A wait for received bytes stays pending with none, and ends with EV_RXCHAR when some come.
    check(SetCommMask(g_port, EV_RXCHAR), "SetCommMask(EV_RXCHAR)");
    {
        const double armed = nowMs();
        PendingWait w;
        BOOL ok = FALSE;
        DWORD err = 0;
        bool heldPending = w.pending() && !w.finish(300, &ok, &err);
        if (!check(heldPending, "WaitCommEvent(EV_RXCHAR) stays pending 300 ms with nothing received"))
            fact("  it ended after %.1f ms: immediate %d, error %lu, then result %d error %lu, mask 0x%lx",
                 nowMs() - armed, w.immediate, w.error, ok, err, w.mask);
        const double sent = nowMs();
        check(ask("send 0102ff") == "ok", "peer sends 01 02 ff");
        if (heldPending) {
            bool ended = w.finish(2000, &ok, &err);
            check(ended && ok && (w.mask & EV_RXCHAR),
                  "the wait ends with EV_RXCHAR (ended %d, ok %d, error "
                  "%lu, mask 0x%lx) %.1f ms after the send",
                  ended, ok, err, w.mask, nowMs() - sent);
        } else {
            Sleep(100);
            PendingWait again;
            fact("WaitCommEvent armed with bytes already received: immediate %d (error %lu), mask 0x%lx",
                 again.immediate, again.error, again.mask);
            again.end();
        }
        w.end();
    }
    {
        std::vector<unsigned char> got = portRead(3, 1000);
        check(got == std::vector<unsigned char>{0x01, 0x02, 0xff}, "ReadFile gets 01 02 ff (got %s)",
              toHex(got).c_str());
    }

    // Writes: a short one and 64 KiB, all of it at the far end, in order.
    {
        Overlapped o;
        DWORD n = 0;
        const double t0 = nowMs();
        BOOL r = WriteFile(g_port, "abc", 3, &n, &o.ov);
        DWORD err = r ? 0 : GetLastError();
        fact("WriteFile overlapped, 3 bytes: returns %s%s in %.2f ms", r ? "TRUE" : "FALSE",
             err == ERROR_IO_PENDING ? " (ERROR_IO_PENDING)" : "", nowMs() - t0);
        if (!r && err == ERROR_IO_PENDING)
            GetOverlappedResult(g_port, &o.ov, &n, TRUE);
        check(toHex(peerTake(3, 2000)) == "616263", "peer receives the 3 bytes");
    }
    {
        const std::vector<unsigned char> data = pattern(65536, 0);
        Overlapped o;
        DWORD n = 0;
        const double t0 = nowMs();
        BOOL r = WriteFile(g_port, data.data(), DWORD(data.size()), &n, &o.ov);
        DWORD err = r ? 0 : GetLastError();
        const double t1 = nowMs();
        std::vector<unsigned char> got = peerTake(data.size(), 10000);
        DWORD werr = 0;
        BOOL done = r || (err == ERROR_IO_PENDING && finishIo(o.ov, 3000, &n, &werr) && !werr);
        fact("WriteFile overlapped, 65536 bytes: returns %s%s in %.2f ms; completes with %lu bytes",
             r ? "TRUE" : "FALSE", err == ERROR_IO_PENDING ? " (ERROR_IO_PENDING)" : "", t1 - t0,
             done ? n : 0);
        check(got == data, "peer receives the 65536 bytes intact, in order (%zu received) in %.1f ms",
              got.size(), nowMs() - t0);
    }

    // Received bytes are counted, and purged on request.
    {
        check(ask("send 0001020304") == "ok", "peer sends 5 bytes");
        Sleep(100);
        COMSTAT st{};
        DWORD errors = 0;
        BOOL r = ClearCommError(g_port, &errors, &st);
        check(r && st.cbInQue == 5,
              "ClearCommError counts 5 bytes waiting (ok %d, cbInQue %lu, errors 0x%lx)", r, st.cbInQue,
              errors);
        check(PurgeComm(g_port, PURGE_RXCLEAR), "PurgeComm(PURGE_RXCLEAR)");
        fact("after PurgeComm(PURGE_RXCLEAR), ReadFile gets %zu of the 5 bytes", portRead(5, 200).size());
    }

    // PurgeComm(PURGE_TXCLEAR) right after a large write: how much still reaches the far end.
    {
        const std::vector<unsigned char> data = pattern(65536, 3);
        Overlapped o;
        DWORD n = 0;
        BOOL r = WriteFile(g_port, data.data(), DWORD(data.size()), &n, &o.ov);
        DWORD err = r ? 0 : GetLastError();
        BOOL purged = PurgeComm(g_port, PURGE_TXCLEAR);
        const double t0 = nowMs();
        const char *outcome = r ? "was done at once" : "failed";
        DWORD werr = r ? 0 : err;
        if (!r && err == ERROR_IO_PENDING)
            outcome = finishIo(o.ov, 3000, &n, &werr) ? "completes" : "is still pending after 3 s, cancelled";
        const double t1 = nowMs();
        size_t received = peerCountUntilQuiet(500);
        fact("WriteFile 65536 then PurgeComm(PURGE_TXCLEAR) = %d: the write %s after %.1f ms with %lu bytes "
             "(error "
             "%lu), the peer receives %zu",
             purged, outcome, t1 - t0, n, werr, received);
    }

    // What ends a pending wait besides received bytes.
    {
        PendingWait w;
        if (w.pending() && WaitForSingleObject(w.o.ov.hEvent, 100) != WAIT_OBJECT_0) {
            BOOL ok = FALSE;
            DWORD err = 0;
            BOOL c = CancelIoEx(g_port, &w.o.ov);
            bool ended = w.finish(500, &ok, &err);
            fact("CancelIoEx on a pending WaitCommEvent: returns %d (error %lu); the wait %s (ok %d, error "
                 "%lu)",
                 c, c ? 0 : GetLastError(), ended ? "ends" : "is still pending after 500 ms", ok, err);
            w.end();
        }
    }
    for (DWORD newMask : {DWORD(0), DWORD(EV_RXCHAR)}) {
        check(SetCommMask(g_port, EV_RXCHAR), "SetCommMask(EV_RXCHAR)");
        PendingWait w;
        if (!w.pending() || WaitForSingleObject(w.o.ov.hEvent, 100) == WAIT_OBJECT_0) {
            fact("SetCommMask(h, 0x%lx) on a pending wait: not measured, the wait did not stay pending",
                 newMask);
            continue;
        }
        const double t0 = nowMs();
        SetCommMask(g_port, newMask);
        BOOL ok = FALSE;
        DWORD err = 0;
        bool ended = w.finish(1000, &ok, &err);
        check(ended,
              "SetCommMask(h, 0x%lx) ends a pending wait: ended %d after %.1f ms, result %d, error %lu, mask "
              "0x%lx",
              newMask, ended, nowMs() - t0, ok, err, w.mask);
        w.end();
    }

    // The far end hangs up while a wait is pending.
    check(SetCommMask(g_port, EV_RXCHAR), "SetCommMask(EV_RXCHAR)");
    {
        PendingWait w;
        bool pending = w.pending() && WaitForSingleObject(w.o.ov.hEvent, 100) != WAIT_OBJECT_0;
        const double t0 = nowMs();
        check(ask("hangup") == "ok", "peer hangs up");
        BOOL ok = FALSE;
        DWORD err = 0;
        bool ended = pending && w.finish(3000, &ok, &err);
        check(ended,
              "a pending wait ends on hang-up: pending before %d, ended %d after %.1f ms, result %d, error "
              "%lu, mask 0x%lx",
              pending, ended, nowMs() - t0, ok, err, w.mask);
        w.end();
    }
    {
        Overlapped o;
        unsigned char buf[16];
        DWORD n = 0;
        BOOL r = ReadFile(g_port, buf, sizeof buf, &n, &o.ov);
        DWORD err = r ? 0 : GetLastError();
        if (!r && err == ERROR_IO_PENDING) {
            r = GetOverlappedResult(g_port, &o.ov, &n, TRUE);
            err = r ? 0 : GetLastError();
        }
        fact("ReadFile after the hang-up: result %d, %lu bytes, error %lu", r, n, err);
    }
    {
        Overlapped o;
        DWORD n = 0;
        BOOL r = WriteFile(g_port, "x", 1, &n, &o.ov);
        DWORD err = r ? 0 : GetLastError();
        if (!r && err == ERROR_IO_PENDING) {
            r = GetOverlappedResult(g_port, &o.ov, &n, TRUE);
            err = r ? 0 : GetLastError();
        }
        fact("WriteFile after the hang-up: result %d, %lu bytes, error %lu", r, n, err);
    }
    {
        COMSTAT st{};
        DWORD errors = 0;
        BOOL r = ClearCommError(g_port, &errors, &st);
        fact("ClearCommError after the hang-up: result %d (error %lu), errors 0x%lx, cbInQue %lu", r,
             r ? 0 : GetLastError(), errors, st.cbInQue);
        DWORD m = 0;
        r = GetCommModemStatus(g_port, &m);
        fact("GetCommModemStatus after the hang-up: result %d (error %lu), status 0x%lx", r,
             r ? 0 : GetLastError(), m);
        int rearmed = 0;
        const double t0 = nowMs();
        while (nowMs() - t0 < 300) {
            PendingWait w;
            BOOL ok = FALSE;
            DWORD err = 0;
            if (w.pending() && !w.finish(300, &ok, &err)) {
                w.end();
                break;
            }
            ++rearmed;
        }
        fact("WaitCommEvent re-armed after the hang-up: %d waits ended within 300 ms", rearmed);
    }
    CloseHandle(g_port);
    std::fprintf(stderr, "%d failure(s)\n", g_failures);
    return g_failures;
}
