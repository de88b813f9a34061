/*
 * libhv_qor_ipc: local message channel between a service and its clients.
 *
 * A service runs a server under a name (identity, service); clients connect to
 * it, send requests and receive one response per request; the service may also
 * write notifications to any connected client ("channel") at any time.
 *
 * Everything crossing this interface is plain C: the plug-in that uses the
 * server side loads the library with dlopen and calls it through the function
 * pointer types declared below. Strings are NUL-terminated UTF-8.
 *
 * Transport
 * ---------
 * Unix domain stream sockets in one directory:
 *   <dir>/<identity>/<service>        the listening socket
 *   <dir>/<identity>/<service>.lock   held (flock) while the server runs
 * <dir> is $HV_QOR_IPC_DIR when set; otherwise a server uses /run/halvern/ipc
 * when it runs as root and $XDG_RUNTIME_DIR/halvern/ipc otherwise. A client
 * without $HV_QOR_IPC_DIR looks in /run/halvern/ipc first, then (not root) in
 * its $XDG_RUNTIME_DIR/halvern/ipc. Identity and service names consist of
 * ASCII letters, digits, '_', '-' and '.', do not begin with '.', and are at
 * most 64 bytes long.
 *
 * A client's identity is what the kernel reports for its socket (SO_PEERCRED):
 * its SID text is "S-1-5-18" for uid 0 and "S-1-22-1-<uid>" otherwise, and it
 * is an administrator when its uid is 0.
 *
 * Frames
 * ------
 * Both directions carry frames, back to back:
 *
 *   offset  size  content
 *   0       4     body length L, unsigned, little-endian (header not counted)
 *   4       1     frame kind
 *   5       L     body
 *
 * L is at most HV_IPC_MAX_REQUEST_BODY for a REQUEST and at most
 * HV_IPC_MAX_FRAME_BODY for every other frame. All integers are little-endian.
 *
 *   kind 1 REQUEST (client to server): u32 request id, u32 message kind, payload
 *   kind 2 RESPONSE (server to client): u32 request id, u32 status, payload
 *   kind 3 NOTIFICATION (server to client): u32 message kind, payload
 *   kind 4 HELLO (server to client, always the first frame of a connection):
 *          u32 protocol version (HV_IPC_PROTOCOL_VERSION), channel name (UTF-8)
 *
 * The request id is chosen by the client and echoed in the response. Requests
 * may be pipelined: the server hands them to a pool of threads, so responses
 * can come back in another order than the requests went out. The status of a
 * response is HV_IPC_OK (the payload is what the callback set, possibly
 * nothing), HV_IPC_NOT_HANDLED (the callback refused the message; no payload)
 * or HV_IPC_TOO_LARGE (the callback's response exceeded the frame limit).
 *
 * A frame longer than the limit, a frame kind that the receiver does not
 * expect, a body too short for its kind, or a connection that ends inside a
 * frame closes that one connection; the server goes on serving the others.
 *
 * Limits
 * ------
 * A server protects itself and its other clients from any one client; each
 * limit below closes (or refuses) only the connection that reaches it, and
 * is reported through HvIPC_SetLogCallback with the client's pid and uid.
 * - A frame begun must arrive whole within HV_IPC_FRAME_TIMEOUT_MS, and bytes
 *   queued for a client must move within the same time.
 * - A connection that has sent nothing, has nothing in flight and was not
 *   kept (HvIPC_MessageKeepConnection) for HV_IPC_IDLE_TIMEOUT_MS is closed.
 * - At most HV_IPC_MAX_CONNECTIONS_PER_UID connections per uid other than 0;
 *   the unprivileged uids together get fewer connections than the process
 *   has descriptors, so root can always connect. A refused connection is
 *   closed before the greeting.
 * - At most HV_IPC_MAX_REQUESTS_IN_FLIGHT requests of one connection are
 *   served at a time; the socket is not read further until one is answered.
 * - The partly received frames and unanswered requests of one uid other than
 *   0 hold a bounded number of bytes; the connection that would pass it is
 *   closed.
 * - HvIPC_Send with HV_IPC_DELIVERY_QUEUE_OR_CLOSE never waits: a client whose
 *   queued notifications pass the library's bound is closed.
 * $HV_QOR_IPC_FRAME_TIMEOUT_MS and $HV_QOR_IPC_IDLE_TIMEOUT_MS, read when a
 * server starts, may shorten the two time-outs (tests do).
 *
 * Threads
 * -------
 * A server has a pool of threads that wait for its sockets together; the
 * thread that reads a request runs the message callback for it. Requests read
 * in the same go are served by that thread too while callbacks are quick, and
 * handed to the other threads while they are slow, so slow callbacks run
 * several at once. Writes never block a server thread: each connection has a
 * bounded write queue, and a client that does not read only makes HvIPC_Send
 * to its own channel wait, at most for the time-out given (not at all with
 * HV_IPC_DELIVERY_QUEUE_OR_CLOSE). A client has one reading thread and one
 * thread that runs its notification callback; a request alone on its
 * connection is read by its calling thread itself.
 */
#ifndef HV_QOR_IPC_H_
#define HV_QOR_IPC_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(HV_QOR_IPC_BUILDING)
#define HV_IPC_API __attribute__((visibility("default")))
#else
#define HV_IPC_API
#endif

/* Results of every call. */
enum {
  HV_IPC_OK = 0,
  HV_IPC_ERROR = 1,             /* a system call failed (socket, thread, memory) */
  HV_IPC_INVALID_PARAMETER = 2, /* a null handle, a bad name, unknown flags */
  HV_IPC_NOT_FOUND = 3,         /* no such channel, or no server under that name */
  HV_IPC_ALREADY_RUNNING = 4,   /* a live server already serves that name */
  HV_IPC_NOT_HANDLED = 5,       /* the server's callback did not handle the request */
  HV_IPC_DISCONNECTED = 6,      /* the connection ended before the exchange completed */
  HV_IPC_TIMEOUT = 7,           /* not done within the time-out; the connection stays */
  HV_IPC_TOO_LARGE = 8,         /* a payload over HV_IPC_MAX_FRAME_BODY - 8 bytes */
  HV_IPC_WRONG_THREAD = 9,      /* a call that would wait for the calling thread itself */
  HV_IPC_ACCESS_DENIED = 10     /* the socket directory is not safe or not ours */
};

/* Frame kinds (see above). */
enum {
  HV_IPC_FRAME_REQUEST = 1,
  HV_IPC_FRAME_RESPONSE = 2,
  HV_IPC_FRAME_NOTIFICATION = 3,
  HV_IPC_FRAME_HELLO = 4
};

#define HV_IPC_PROTOCOL_VERSION 1u
/* Largest frame body: 64 MiB. A payload may use all of it but 8 bytes. */
#define HV_IPC_MAX_FRAME_BODY (64u * 1024u * 1024u)
#define HV_IPC_MAX_PAYLOAD (HV_IPC_MAX_FRAME_BODY - 8u)
/* Largest REQUEST body: 1 MiB and 64 KiB; a request payload may use all of it
 * but 8 bytes (HvIPC_ClientRequest refuses more with HV_IPC_TOO_LARGE). */
#define HV_IPC_MAX_REQUEST_BODY (1024u * 1024u + 64u * 1024u)
#define HV_IPC_MAX_REQUEST_PAYLOAD (HV_IPC_MAX_REQUEST_BODY - 8u)
/* Server limits per client (see "Limits" above). */
#define HV_IPC_FRAME_TIMEOUT_MS 10000u
#define HV_IPC_IDLE_TIMEOUT_MS 600000u
#define HV_IPC_MAX_CONNECTIONS_PER_UID 64u
#define HV_IPC_MAX_REQUESTS_IN_FLIGHT 16u

/* Message kinds that the settings service gives a meaning to. The library
 * passes every kind through; refusing one is the callback's business. */
enum {
  HV_IPC_KIND_ENVELOPE = 1,        /* a request envelope, or a notification envelope */
  HV_IPC_KIND_RELOAD_BASE_FILE = 2 /* re-read the system's late-bound base file */
};

/* ---------------------------------------------------------------- server */

typedef struct HvIpcServer HvIpcServer;
typedef struct HvIpcMessage HvIpcMessage;

/* Flags of HvIPC_RunServer. */
enum {
  HV_IPC_SERVER_CONCURRENT = 0x01,  /* callbacks on a pool; without it on one thread, in order */
  HV_IPC_SERVER_ALL_USERS = 0x40,   /* socket mode 0666; without it 0600 (the owner only) */
  HV_IPC_SERVER_REPLACE_STALE = 0x80 /* replace a socket file left by a dead server */
};
/* What the settings service passes. */
#define HV_IPC_SERVER_DEFAULT_FLAGS 0xC1u

/* Called once per request, on a pool thread. `message` is valid until the
 * callback returns. Return 0 when handled (the response is what
 * HvIPC_MessageSetResponse set, or empty), anything else when not handled
 * (the client receives HV_IPC_NOT_HANDLED). */
typedef uint32_t (*HvIPC_MessageCallback)(uint32_t kind, const uint8_t* bytes, uint32_t count,
                                          HvIpcMessage* message, void* context);

/* The delay loader's entry: resolving it loads the library. The library keeps
 * no global state that needs setting up, so there is nothing more to do; it
 * may be called any number of times. */
HV_IPC_API void HvIPC_DelayLoadInitialize(void);
typedef void (*HvIPC_DelayLoadInitialize_t)(void);

/* Starts a server for (identity, service) and stores its handle in *server.
 * flags: HV_IPC_SERVER_* bits (others are invalid). threads: size of the
 * callback pool, 0 for a default that suits the machine (ignored without
 * HV_IPC_SERVER_CONCURRENT). Fails with HV_IPC_ALREADY_RUNNING while another
 * server (in any process) holds the name. */
HV_IPC_API uint32_t HvIPC_RunServer(HvIpcServer** server, const char* identity, const char* service, uint32_t flags,
                                    HvIPC_MessageCallback callback, void* context, uint32_t threads);
typedef uint32_t (*HvIPC_RunServer_t)(HvIpcServer**, const char*, const char*, uint32_t, HvIPC_MessageCallback,
                                      void*, uint32_t);

/* Stops accepting, closes every connection (sends waiting for one of them
 * return HV_IPC_DISCONNECTED), waits until no callback runs and none will
 * start, removes the socket and frees the server. Requests not yet started are
 * dropped. Must not be called from one of the server's own callbacks
 * (HV_IPC_WRONG_THREAD, nothing done). */
HV_IPC_API uint32_t HvIPC_StopServer(HvIpcServer* server);
typedef uint32_t (*HvIPC_StopServer_t)(HvIpcServer*);

/* Non-zero when the sender's uid is 0. */
HV_IPC_API int32_t HvIPC_MessageIsClientAdmin(HvIpcMessage* message);
typedef int32_t (*HvIPC_MessageIsClientAdmin_t)(HvIpcMessage*);

/* The sender's SID text, on the heap; release it with HvIPC_MessageFreeSID.
 * Null only for a null message or when memory runs out. */
HV_IPC_API char* HvIPC_MessageGetClientSID(HvIpcMessage* message);
typedef char* (*HvIPC_MessageGetClientSID_t)(HvIpcMessage*);
HV_IPC_API void HvIPC_MessageFreeSID(char* sid);
typedef void (*HvIPC_MessageFreeSID_t)(char*);

/* The sender's channel name, owned by the library, valid during the callback;
 * never null (empty for a null message). */
HV_IPC_API const char* HvIPC_MessageGetSenderChannel(HvIpcMessage* message);
typedef const char* (*HvIPC_MessageGetSenderChannel_t)(HvIpcMessage*);

/* Keeps the sender's connection open while it is idle (keep non-zero), for
 * a client that waits for notifications; 0 makes it subject to the idle
 * time-out again. */
HV_IPC_API void HvIPC_MessageKeepConnection(HvIpcMessage* message, int32_t keep);
typedef void (*HvIPC_MessageKeepConnection_t)(HvIpcMessage*, int32_t);

/* Where the library reports why it refused or closed a client connection:
 * level 2 (error) or 3 (warning), one line of UTF-8 without a line end. Called
 * on the library's threads, never while it holds a lock of a connection;
 * null stops the reports. Process-wide; returns when no call of the previous
 * callback runs any more. */
typedef void (*HvIPC_LogCallback)(uint32_t level, const char* line, void* context);
HV_IPC_API void HvIPC_SetLogCallback(HvIPC_LogCallback callback, void* context);
typedef void (*HvIPC_SetLogCallback_t)(HvIPC_LogCallback, void*);

/* Copies `count` bytes as the response; a later call replaces an earlier one.
 * HV_IPC_TOO_LARGE over HV_IPC_MAX_PAYLOAD (the client then receives that
 * status instead of a payload). */
HV_IPC_API uint32_t HvIPC_MessageSetResponse(HvIpcMessage* message, const uint8_t* bytes, uint32_t count);
typedef uint32_t (*HvIPC_MessageSetResponse_t)(HvIpcMessage*, const uint8_t*, uint32_t);

/* Options of HvIPC_Send; 24 bytes. */
typedef struct HvIpcSendOptions {
  uint32_t size;           /* sizeof(HvIpcSendOptions); at least 8 */
  uint32_t timeout_ms;     /* longest wait for the channel; 0: no waiting */
  uint32_t reserved[3];    /* zero */
  uint8_t delivery;        /* HV_IPC_DELIVERY_* */
  uint8_t reserved2[3];    /* zero */
} HvIpcSendOptions;

/* When HvIPC_Send returns. */
enum {
  HV_IPC_DELIVERY_QUEUED = 0,        /* once queued; waits for room up to the time-out */
  HV_IPC_DELIVERY_WRITTEN = 1,       /* once written to the socket, up to the time-out */
  HV_IPC_DELIVERY_QUEUE_OR_CLOSE = 2 /* at once: queued, or the channel, whose client does not
                                        read, is closed (HV_IPC_DISCONNECTED) */
};

#define HV_IPC_SEND_NOTIFICATION 3u /* the only frame kind HvIPC_Send writes */
#define HV_IPC_DEFAULT_SEND_TIMEOUT_MS 2000u

/* Writes a NOTIFICATION frame carrying `kind` and the bytes to the client
 * connected as `channel` to a server of `identity` in this process.
 * frame_kind must be HV_IPC_SEND_NOTIFICATION, kind not 0 (the client's
 * mark for a lost connection) and reply null (no replies).
 * options may be null: wait for the write, 2000 ms.
 * Results: HV_IPC_OK delivered (written, or queued, as the delivery asks);
 * HV_IPC_TIMEOUT not done within the time-out, the channel stays;
 * HV_IPC_NOT_FOUND / HV_IPC_DISCONNECTED the channel is gone;
 * HV_IPC_INVALID_PARAMETER / HV_IPC_TOO_LARGE bad arguments. */
HV_IPC_API uint32_t HvIPC_Send(const char* identity, const char* channel, uint32_t frame_kind, uint32_t kind,
                               const uint8_t* bytes, uint32_t count, void* reply, const HvIpcSendOptions* options);
typedef uint32_t (*HvIPC_Send_t)(const char*, const char*, uint32_t, uint32_t, const uint8_t*, uint32_t, void*,
                                 const HvIpcSendOptions*);

/* HvIPC_Send of one notification to `channel_count` channels: the frame is
 * built once and shared by every channel's queue. results[i] receives what
 * HvIPC_Send would have returned for channels[i]. Returns HV_IPC_OK when the
 * arguments are valid (then every result is set), else what HvIPC_Send
 * returns for bad arguments (no result is set). */
HV_IPC_API uint32_t HvIPC_SendToChannels(const char* identity, const char* const* channels, uint32_t channel_count,
                                         uint32_t frame_kind, uint32_t kind, const uint8_t* bytes, uint32_t count,
                                         const HvIpcSendOptions* options, uint32_t* results);
typedef uint32_t (*HvIPC_SendToChannels_t)(const char*, const char* const*, uint32_t, uint32_t, uint32_t,
                                           const uint8_t*, uint32_t, const HvIpcSendOptions*, uint32_t*);

/* ---------------------------------------------------------------- client */

typedef struct HvIpcClient HvIpcClient;

/* Runs on the client's notification thread, one call at a time, in the order
 * the frames arrived. kind 0 with no bytes (HV_IPC_KIND_DISCONNECTED) says
 * that the server closed the connection; it is the last call. */
typedef void (*HvIPC_NotificationCallback)(uint32_t kind, const uint8_t* bytes, uint32_t count, void* context);
#define HV_IPC_KIND_DISCONNECTED 0u

/* Connects to (identity, service) and waits at most timeout_ms (0: no limit)
 * for the server's greeting. callback may be null. */
HV_IPC_API uint32_t HvIPC_ClientConnect(HvIpcClient** client, const char* identity, const char* service,
                                        uint32_t timeout_ms, HvIPC_NotificationCallback callback, void* context);
typedef uint32_t (*HvIPC_ClientConnect_t)(HvIpcClient**, const char*, const char*, uint32_t,
                                          HvIPC_NotificationCallback, void*);

/* Sends one request and waits at most timeout_ms (0: no limit) for its
 * response. On HV_IPC_OK *response (allocated, release with
 * HvIPC_ClientFreeBuffer; null when empty) and *response_count hold the
 * payload. Any number of threads may call this at once on one client. Not
 * from the client's own notification callback (HV_IPC_WRONG_THREAD): the
 * response could not be read while it runs. */
HV_IPC_API uint32_t HvIPC_ClientRequest(HvIpcClient* client, uint32_t kind, const uint8_t* bytes, uint32_t count,
                                        uint32_t timeout_ms, uint8_t** response, uint32_t* response_count);
typedef uint32_t (*HvIPC_ClientRequest_t)(HvIpcClient*, uint32_t, const uint8_t*, uint32_t, uint32_t, uint8_t**,
                                          uint32_t*);

HV_IPC_API void HvIPC_ClientFreeBuffer(uint8_t* buffer);
typedef void (*HvIPC_ClientFreeBuffer_t)(uint8_t*);

/* The channel name the server gave this connection (as HvIPC_Send wants it). */
HV_IPC_API const char* HvIPC_ClientGetChannel(HvIpcClient* client);
typedef const char* (*HvIPC_ClientGetChannel_t)(HvIpcClient*);

/* Disconnects, fails waiting requests with HV_IPC_DISCONNECTED, drops
 * notifications not yet delivered and frees the client. From inside the
 * client's notification callback the rest of the work happens when the
 * callback returns. */
HV_IPC_API void HvIPC_ClientClose(HvIpcClient* client);
typedef void (*HvIPC_ClientClose_t)(HvIpcClient*);

#ifdef __cplusplus
}  /* extern "C" */
#endif

#endif /* HV_QOR_IPC_H_ */
