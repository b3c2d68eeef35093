#include "qrnlibl/qrn_trace.h"

#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "qrnlibl/qrn_time.h"

namespace {

// Bytes of a byte block written out in hex; a longer block is cut and its length noted.
constexpr int kMaxHexBytes = 256;
constexpr int kTagBits = 2;
constexpr uint16_t kTagMask = 0x3;
constexpr int kFlagError = 1;
constexpr const char *kTraceEnv = "QRNLIBL_TRACE";
constexpr const char *kNullText = "(null)";

std::atomic<unsigned> g_next_thread_number{1};
thread_local unsigned t_thread_number = 0;

// A small number per thread, in the order threads first write a line.
unsigned thread_number() {
    if (t_thread_number == 0) {
        t_thread_number = g_next_thread_number.fetch_add(1, std::memory_order_relaxed);
    }
    return t_thread_number;
}

void append_hex(std::string &out, const void *data, int len) {
    static const char kDigits[] = "0123456789abcdef";
    if (!data && len > 0) {
        out += kNullText;
        return;
    }
    const auto *bytes = static_cast<const unsigned char *>(data);
    const int shown = len < kMaxHexBytes ? len : kMaxHexBytes;
    for (int i = 0; i < shown; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0xf];
    }
    if (shown < len) out += "...(" + std::to_string(len) + " bytes)";
}

}  // namespace

CQrnTraceFormator &CQrnTraceFormator::operator<<(long long v) {
    if (!Room()) return *this;
    m_items[m_count].num = v;
    m_tags = static_cast<uint16_t>(m_tags | (kNumber << (kTagBits * m_count)));
    ++m_count;
    return *this;
}

CQrnTraceFormator &CQrnTraceFormator::operator<<(unsigned long long v) {
    if (!Room()) return *this;
    m_items[m_count].unum = v;
    m_tags = static_cast<uint16_t>(m_tags | (kUnsigned << (kTagBits * m_count)));
    ++m_count;
    return *this;
}

CQrnTraceFormator &CQrnTraceFormator::operator<<(const char *s) {
    if (!Room()) return *this;
    m_items[m_count].str = s;
    m_tags = static_cast<uint16_t>(m_tags | (kString << (kTagBits * m_count)));
    ++m_count;
    return *this;
}

CQrnTraceFormator &CQrnTraceFormator::operator<<(const void *p) {
    return *this << static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p));
}

CQrnTraceFormator &CQrnTraceFormator::Bytes(const void *data, int len) {
    if (!Room()) return *this;
    m_items[m_count].bytes = data;
    m_items[m_count].len = len > 0 ? len : 0;
    m_tags = static_cast<uint16_t>(m_tags | (kBytes << (kTagBits * m_count)));
    ++m_count;
    return *this;
}

void CQrnTraceFormator::Format(CQrnString &out) const {
    std::string text;
    for (int i = 0; i < m_count; ++i) {
        if (i > 0) text += ' ';
        const Item &item = m_items[i];
        switch ((m_tags >> (kTagBits * i)) & kTagMask) {
        case kNumber: text += std::to_string(item.num); break;
        case kUnsigned: text += std::to_string(item.unum); break;
        case kString: text += item.str ? item.str : kNullText; break;
        case kBytes: append_hex(text, item.bytes, item.len); break;
        }
    }
    out += text.c_str();
}

CQrnTraceFile g_qrn_trace_file;

CQrnTraceFile::CQrnTraceFile() {
    const char *path = getenv(kTraceEnv);
    if (path && *path) Open(path);
}

CQrnTraceFile::~CQrnTraceFile() { Close(); }

int CQrnTraceFile::Open(const char *path) {
    if (!path || !*path) return -1;
    FILE *file = fopen(path, "a");
    if (!file) return -1;
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_file) fclose(static_cast<FILE *>(m_file));
    m_file = file;
    m_sink = nullptr;
    m_sink_ctx = nullptr;
    m_on.store(true, std::memory_order_relaxed);
    return 0;
}

void CQrnTraceFile::SetSink(qrn_trace_sink sink, void *ctx) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_file) {
        fclose(static_cast<FILE *>(m_file));
        m_file = nullptr;
    }
    m_sink = sink;
    m_sink_ctx = sink ? ctx : nullptr;
    m_on.store(sink != nullptr, std::memory_order_relaxed);
}

void CQrnTraceFile::Close() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_on.store(false, std::memory_order_relaxed);
    if (m_file) {
        fclose(static_cast<FILE *>(m_file));
        m_file = nullptr;
    }
    m_sink = nullptr;
    m_sink_ctx = nullptr;
}

void CQrnTraceFile::WriteTrace(int flag, int kind, int event, const CQrnTraceFormator &f) {
    if (!IsOn()) return;
    const std::string head = std::to_string(get_tick_count()) + " T" +
                             std::to_string(thread_number()) + ' ' + std::to_string(kind) + '.' +
                             std::to_string(event) + (flag == kFlagError ? " E" : "");
    CQrnString line(head.c_str());
    if (f.count() > 0) {
        line += " ";
        f.Format(line);
    }
    Emit(line.c_str());
}

// The sink is called under m_mutex, so that once Close returns no call into it is under way;
// a sink must therefore not write trace lines itself.
void CQrnTraceFile::Emit(const char *line) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_sink) {
        m_sink(m_sink_ctx, line);
    } else if (m_file) {
        auto *file = static_cast<FILE *>(m_file);
        fputs(line, file);
        fputc('\n', file);
        fflush(file);
    }
}

CQrnTraceFuncObj::CQrnTraceFuncObj(const char *name)
    : m_name(name), m_traced(g_qrn_trace_file.IsOn()) {
    if (!m_traced) return;
    CQrnTraceFormator f;
    f << "enter" << m_name;
    g_qrn_trace_file.WriteTrace(0, QRN_TRACE_KIND_FUNC, 0, f);
}

CQrnTraceFuncObj::~CQrnTraceFuncObj() {
    if (!m_traced || !g_qrn_trace_file.IsOn()) return;
    CQrnTraceFormator f;
    f << "leave" << m_name;
    g_qrn_trace_file.WriteTrace(0, QRN_TRACE_KIND_FUNC, 1, f);
}

extern "C" {

int qrn_trace_open(const char *path) { return g_qrn_trace_file.Open(path); }

void qrn_trace_set_sink(qrn_trace_sink sink, void *ctx) { g_qrn_trace_file.SetSink(sink, ctx); }

void qrn_trace_close(void) { g_qrn_trace_file.Close(); }

}  // extern "C"
