// The process-wide trace file.
//
// A line is built in a CQrnTraceFormator (at most eight items: numbers, strings, byte blocks)
// and written by g_qrn_trace_file.WriteTrace(flag, kind, event, formator). Kinds: 0 error line
// (written twice, flag 1 then flag 0), 2 text line (label strings and values alternating),
// 3 function entry and exit, and a module number (1 HTTP client, 4 transport, 5 reliable UDP,
// 6 base socket) for event records. The file is off by default; while it is off the helpers
// below cost one relaxed atomic load and build nothing.
//
// A line reads: "<tick> T<thread> <kind>.<event>[ E] item item ...", numbers in decimal,
// strings as they are, byte blocks in hex. " E" marks the first (flag 1) copy of an error line.
#ifndef QRNLIBL_QRN_TRACE_H
#define QRNLIBL_QRN_TRACE_H

#include <stdint.h>

#include <atomic>
#include <mutex>

#include "qrn_string.h"

enum {
    QRN_TRACE_KIND_ERROR = 0,
    QRN_TRACE_KIND_TEXT = 2,
    QRN_TRACE_KIND_FUNC = 3,
};

// Receives every line written while it is installed (without a line end). It is called under
// the trace file's lock, one line at a time, so it must not write trace lines itself.
typedef void (*qrn_trace_sink)(void *ctx, const char *line);

class CQrnTraceFormator {
public:
    static constexpr int kMaxItems = 8;

    CQrnTraceFormator &operator<<(long long v);
    CQrnTraceFormator &operator<<(unsigned long long v);
    CQrnTraceFormator &operator<<(int v) { return *this << static_cast<long long>(v); }
    CQrnTraceFormator &operator<<(unsigned v) { return *this << static_cast<unsigned long long>(v); }
    CQrnTraceFormator &operator<<(long v) { return *this << static_cast<long long>(v); }
    CQrnTraceFormator &operator<<(unsigned long v) { return *this << static_cast<unsigned long long>(v); }
    CQrnTraceFormator &operator<<(unsigned short v) { return *this << static_cast<long long>(v); }
    CQrnTraceFormator &operator<<(const char *s);   // kept by pointer: must outlive the write
    CQrnTraceFormator &operator<<(const void *p);   // an address, as a number
    CQrnTraceFormator &Bytes(const void *data, int len);  // kept by pointer, like strings

    int count() const { return m_count; }
    // Appends the items to out as the line's text.
    void Format(CQrnString &out) const;

private:
    enum Tag : uint8_t { kNumber = 0, kUnsigned = 1, kString = 2, kBytes = 3 };
    struct Item {
        union {
            long long num;
            unsigned long long unum;
            const char *str;
            const void *bytes;
        };
        int len;
    };
    bool Room() const { return m_count < kMaxItems; }

    Item m_items[kMaxItems];
    uint16_t m_tags = 0;  // 2 bits per item, item i at bits 2i..2i+1
    int m_count = 0;
};

class CQrnTraceFile {
public:
    CQrnTraceFile();   // opens the file named by QRNLIBL_TRACE, if set
    ~CQrnTraceFile();

    bool IsOn() const { return m_on.load(std::memory_order_relaxed); }
    // Starts writing to a file (appending); 0, or -1 when it cannot be opened.
    int Open(const char *path);
    // Starts passing every line to sink (null stops it). Replaces a file.
    void SetSink(qrn_trace_sink sink, void *ctx);
    // Stops tracing and closes the file.
    void Close();
    void WriteTrace(int flag, int kind, int event, const CQrnTraceFormator &f);

private:
    void Emit(const char *line);

    std::atomic<bool> m_on{false};
    std::mutex m_mutex;
    void *m_file = nullptr;  // FILE*
    qrn_trace_sink m_sink = nullptr;
    void *m_sink_ctx = nullptr;
};

extern CQrnTraceFile g_qrn_trace_file;

// Traces entry and exit of a named function (the name must be a literal or outlive the object).
class CQrnTraceFuncObj {
public:
    explicit CQrnTraceFuncObj(const char *name);
    ~CQrnTraceFuncObj();
    CQrnTraceFuncObj(const CQrnTraceFuncObj &) = delete;
    CQrnTraceFuncObj &operator=(const CQrnTraceFuncObj &) = delete;

private:
    const char *m_name;
    bool m_traced;
};

// An event record of a module: values only.
template <class... A>
inline void qrn_trace_event(int module, int event, const A &...items) {
    if (!g_qrn_trace_file.IsOn()) return;
    CQrnTraceFormator f;
    (void)(f << ... << items);
    g_qrn_trace_file.WriteTrace(0, module, event, f);
}

// A text line: labels and values alternating.
template <class... A>
inline void qrn_trace_text(const A &...items) {
    if (!g_qrn_trace_file.IsOn()) return;
    CQrnTraceFormator f;
    (void)(f << ... << items);
    g_qrn_trace_file.WriteTrace(0, QRN_TRACE_KIND_TEXT, 0, f);
}

// An error line: source file, line, then a message and/or values; written twice.
template <class... A>
inline void qrn_trace_error_at(const char *file, int line, const A &...items) {
    if (!g_qrn_trace_file.IsOn()) return;
    CQrnTraceFormator f;
    f << file << line;
    (void)(f << ... << items);
    g_qrn_trace_file.WriteTrace(1, QRN_TRACE_KIND_ERROR, 0, f);
    g_qrn_trace_file.WriteTrace(0, QRN_TRACE_KIND_ERROR, 0, f);
}

#define QRN_TRACE_FUNC(name) CQrnTraceFuncObj qrn_trace_func_obj_(name)
#define QRN_TRACE_ERROR(...) qrn_trace_error_at(__FILE__, __LINE__, __VA_ARGS__)

extern "C" {
/* C entry points to the trace file, for applications and tools. */
int qrn_trace_open(const char *path);
void qrn_trace_set_sink(qrn_trace_sink sink, void *ctx);
void qrn_trace_close(void);
}

#endif
