// VBaseSocket: one non-blocking socket, TCP or UDP, and the events that the socket thread turns
// its readiness into. Only the handle layer (sockcli.cpp) creates and calls it.
//
// Threads and locks: check_event, accept and the proxy negotiation run on the socket thread;
// the other operations on callers' threads, each inside a handle-layer call that holds a
// reference. Every system call on m_socket is made under m_lock, or for a datagram (sendto,
// recvfrom) under m_io_lock shared, so that a close (which takes both) on one thread never
// lets another thread's call land on a descriptor number that was reused meanwhile; datagrams
// sent on several threads and received on the loop's never wait for each other. m_lock is
// never held while the VSOCK lock is taken or a callback runs; m_io_lock comes after m_lock.
#ifndef QRN_SOCKET_BASESOCK_H
#define QRN_SOCKET_BASESOCK_H

#include <stdint.h>

#include <atomic>
#include <shared_mutex>
#include <string>

#include "platform/winsock.h"
#include "qrnlibl/qrn_buffer.h"
#include "qrnlibl/qrn_callback.h"
#include "qrnlibl/qrn_lock.h"
#include "qrnlibl/qrn_string.h"
#include "socket/proxy_reply.h"

class VBaseSocket : public CQrnObject {
public:
    // Allocates the object's handle in the socket table (0 when the table is full or gone).
    VBaseSocket();
    ~VBaseSocket() override;

    // 1 on success, 0 when no socket could be made.
    int create(int is_stream);
    void set_options(int is_stream);
    void bound_buffers();
    int bind(const ws::sockaddr_in *address);
    int listen();
    // The accepted socket (holding the table's reference), or null. *out_address stays valid
    // until this thread's next accept or recvfrom.
    VBaseSocket *accept(ws::sockaddr_in **out_address);
    // 0 (outcome as event 2), or -1.
    int connect(const ws::sockaddr_in *address);
    int close();
    int send(const void *buffer, int length, int flags);
    int recv(void *buffer, int length, int flags);
    int sendto(const void *buffer, int length, int flags, const ws::sockaddr_in *address);
    int recvfrom(void *buffer, int length, int flags, ws::sockaddr_in **out_address);
    int recvfrom_batch(ws::datagram *batch, int count);
    // 0; -1 when out is null or too short for the option's value (nothing is written then).
    int getsockopt(int option, void *out, int length);
    int setsockopt(int option, uintptr_t value, int length);
    static int get_last_error();
    static bool is_would_block(int error);

    // Socket thread only: turns one select report into events for the owner.
    void check_event(bool readable, bool writable, bool exception);
    // Ends a connect whose proxy negotiation failed: event 2 with 1, handle freed; cause is the
    // failure's text (see fail_connect).
    void process_execption(const std::string &cause);
    // Socket thread only: fails a proxied connect that is still not a tunnel at its deadline
    // (library clock).
    void check_handshake_deadline(uint32_t now);

    int handle() const { return m_handle; }
    SOCKET socket() const { return m_socket.load(std::memory_order_acquire); }
    int state() const { return m_state.load(std::memory_order_acquire); }
    void set_state(int state) { m_state.store(state, std::memory_order_release); }

    // Handle-layer bookkeeping, all guarded by the VSOCK lock (see sock_sets.h).
    void set_handle(int handle) { m_handle = handle; }
    uint64_t socket_generation() const { return m_sock_gen; }
    bool sets_closed() const { return m_sets_closed; }
    void close_sets() { m_sets_closed = true; }
    // The socket thread's sets that hold the socket (ws::kWait* bits).
    unsigned interest() const { return m_interest; }
    void set_interest(unsigned sets) { m_interest = sets; }
    // The loop that delivers the socket's events, and the loop whose poller holds it now;
    // they differ while a hand-over waits for the end of a pass. Both set under the VSOCK lock.
    int loop() const { return m_loop.load(std::memory_order_acquire); }
    void set_loop(int loop) { m_loop.store(loop, std::memory_order_release); }
    int poll_loop() const { return m_poll_loop; }
    void set_poll_loop(int loop) { m_poll_loop = loop; }

private:
    void attach_socket(SOCKET s);
    void deliver(int event, int handle, uintptr_t param, uintptr_t extra = 0);
    void release_handle();
    void accept_all();
    void refuse_pending();
    void on_connect_writable();
    // Event 2 with 1 (its extra: the cause text, valid during the callback), handle freed.
    void fail_connect(const std::string &cause);
    void record_connect_error(const std::string &cause);
    // "proxy 127.0.0.1:3128: Connection refused", or the destination's for a direct connect.
    std::string system_failure(int wsa_error) const;
    std::string proxy_label() const;
    std::string connect_error_text();
    std::string proxy_text() const;
    std::string dest_label() const;
    bool send_negotiation_bytes();
    void read_negotiation_bytes();
    bool on_connected_readable();
    void on_connected_writable();
    bool bytes_waiting(uint32_t *count);
    bool peer_has_closed();

    // The proxy negotiation (basesock_proxy.cpp).
    int get_proxy_from_ie();
    bool take_proxy_string(const char *proxy);
    bool take_credentials(const std::string &user, const std::string &password);
    void start_negotiation();
    void send_socks5_auth();
    bool send_proxy_request(const void *request, int length);
    void on_negotiation_reply(const char *data, int length);
    void send_socks5_connect();
    void proxy_tunnel_up();

    std::atomic<SOCKET> m_socket{INVALID_SOCKET};
    int m_is_stream = 0;
    std::atomic<qrn_callback> m_callback{nullptr};
    std::atomic<uintptr_t> m_callback_ctx{0};
    std::atomic<int> m_state{0};
    int m_handle = 0;
    uint32_t m_remote_ip = 0;
    uint16_t m_remote_port = 0;
    int m_use_proxy = 0;
    uint8_t m_proxy_type = 0;
    CQrnString m_proxy_addr;
    uint16_t m_proxy_port = 0;
    // The setting's user name and password for the proxy (never traced).
    std::string m_proxy_user;
    std::string m_proxy_password;
    // When a proxied connect that is not yet a tunnel fails (library clock).
    uint32_t m_handshake_due = 0;
    CQrnString m_dest_addr;
    uint16_t m_dest_port = 0;
    // Why the last connect failed; guarded by m_lock.
    std::string m_connect_error;
    CProxyReplyReader m_proxy_reply;
    CQrnSimpleBuffer m_send_buf;
    CQrnLock m_lock;
    std::shared_mutex m_io_lock;

    // Guarded by the VSOCK lock: when m_socket was last given a descriptor (so that the
    // socket thread never hands one socket's readiness to a later socket with the same
    // descriptor number), whether the socket may still enter the socket sets, and which
    // sets hold it.
    uint64_t m_sock_gen = 0;
    bool m_sets_closed = false;
    std::atomic<int> m_loop{0};
    int m_poll_loop = 0;
    unsigned m_interest = 0;
};

#endif
