// Every limit the service sets on what one client may cost it, in one place.
//
// A local user may be careless or hostile; neither may stall other clients,
// fill the service's memory, descriptors or disk, or crash it. Each limit is
// answered with a clear error and a log line naming the client's pid and uid.
// `velderctl --help` and the README list them; keep those in step.
//
// The IPC library's wire limits (frame sizes, time-outs) are part of its
// frame layout and live in qor/ipc/hv_qor_ipc.h, which this header names
// again so that the service's code reads them from here.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "qor/ipc/hv_qor_ipc.h"

namespace resource_limits {

// ---- Stored settings (answered with 13 SizeQuotaExceeded, nothing changed)

// The largest value one SetValue may write: the bytes of the value in the
// request (a JSON text, a string, ...).
inline constexpr size_t kMaxValueBytes = 1024 * 1024;
// The largest local document a write may leave behind, as JSON text. Half of
// what a hive file may hold, so that the journal and the statistics that
// share the file never push it over kMaxHiveFileBytes.
inline constexpr size_t kMaxLocalDocumentBytes = 16 * 1024 * 1024;
// Hive files larger than this are neither read nor written.
inline constexpr size_t kMaxHiveFileBytes = 0x2000000;  // 32 MiB

// ---- Subscriptions and notifications

// Subscriptions of one client connection (13 SizeQuotaExceeded beyond it).
inline constexpr size_t kMaxSubscriptionsPerChannel = 1000;
// Changes waiting for the notifier thread; newer ones are dropped (logged).
inline constexpr size_t kMaxPendingNotifications = 65536;
// Notification bytes queued for one connection that does not read; the next
// notification closes that connection.
inline constexpr size_t kMaxQueuedNotificationBytes = 4 * 1024 * 1024;

// ---- Connections (enforced by the IPC library)

// The largest request frame body: a value of kMaxValueBytes and the
// envelope's other fields.
inline constexpr size_t kMaxRequestFrameBody = HV_IPC_MAX_REQUEST_BODY;
static_assert(kMaxRequestFrameBody >= kMaxValueBytes + 8 + 27 + 60 * 1024);
// Connections of one unprivileged uid; a further one is refused at once.
inline constexpr size_t kMaxConnectionsPerUid = HV_IPC_MAX_CONNECTIONS_PER_UID;
// Connections of all unprivileged uids together; lower when the descriptor
// limit leaves less than kDescriptorsReservedForRoot beyond it.
inline constexpr size_t kMaxUserConnections = 1024;
// Descriptors kept free for root's connections and the service's files.
inline constexpr size_t kDescriptorsReservedForRoot = 256;
// Bytes of partly received frames and requests not yet answered that the
// connections of one unprivileged uid may hold together; the connection
// whose bytes would pass it is closed.
inline constexpr size_t kMaxBufferedBytesPerUid = 32 * 1024 * 1024;
// Requests of one connection being served; its socket is not read further
// until one is answered.
inline constexpr uint32_t kMaxRequestsInFlight = HV_IPC_MAX_REQUESTS_IN_FLIGHT;
// Response and notification bytes queued for one connection above which its
// requests are no longer read.
inline constexpr size_t kMaxQueuedBytes = 8 * 1024 * 1024;
// A frame begun must be complete, and queued bytes must move, within this.
inline constexpr std::chrono::milliseconds kFrameTimeout{HV_IPC_FRAME_TIMEOUT_MS};
// A connection that neither sends nor listens is closed after this.
inline constexpr std::chrono::milliseconds kIdleTimeout{HV_IPC_IDLE_TIMEOUT_MS};

// ---- The process

// The descriptor limit the host asks for (the unit file sets the same).
inline constexpr uint64_t kDescriptorLimit = 65536;

}  // namespace resource_limits
