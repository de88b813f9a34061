#include "plugin/velder_plugin.h"

#include <limits>
#include <chrono>
#include <filesystem>
#include <system_error>
#include <utility>

#include "logging/log.h"
#include "logging/log_rate_limiter.h"
#include "platform/sid.h"
#include "notify/change_notifier.h"
#include "platform/delay_load.h"
#include "platform/latebound.h"
#include "platform/maker_libraries.h"
#include "platform/path_util.h"
#include "platform/process_launcher.h"
#include "platform/resource_limits.h"
#include "platform/sid.h"
#include "plugin/ipc_notification_sender.h"
#include "store/settings.h"
#include "wire/ipc_message.h"

namespace {

// How long initialisation waits for the import tool before leaving it running.
constexpr std::chrono::milliseconds kImportToolWait{10000};

// The SID text of the client that sent `message`, as the kernel names it.
std::string ClientSid(HvIpcMessage* message) {
  std::string text;
  if (char* sid = maker::HvIPC_MessageGetClientSID(message)) {
    text = platform::CanonicalSidText(sid);
    maker::HvIPC_MessageFreeSID(sid);
  }
  return text;
}

// The IPC library's reports of refused and closed clients go to the log.
void LogIpcNotice(uint32_t level, const char* line, void*) {
  HvQorLogging::LogWriteFrom(level <= HvQorLogging::kError ? HvQorLogging::kError : HvQorLogging::kWarning,
                             "HvIPC", "{}", line);
}

// "pid <pid>, uid <uid>" of a client: its channel is "<pid>.<n>", its SID
// names its uid.
std::string ClientName(const std::string& channel, const std::string& sid) {
  const std::optional<uid_t> uid = platform::UidForSid(sid);
  return fmt::format("pid {}, uid {}", channel.substr(0, channel.find('.')),
                     uid ? std::to_string(*uid) : std::string("unknown"));
}

bool IsDirectory(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_directory(path, error);
}

}  // namespace

VelderPlugin::VelderPlugin() : stop_event_(std::make_unique<platform::ManualResetEvent>()) {}

VelderPlugin::~VelderPlugin() {
  ReleaseObjects();
  ClearHostEventHandlers();
}

uint32_t VelderPlugin::PluginInitialize() {
  HvQorLogging::LogInit(identity(), "QOR", "VelderPlugin", HvQorLogging::kInformation, 0);
  HvQorLogging::LogWrite(HvQorLogging::kInformation, "Binary version: {}, compilation time: {} {}", kVersion,
                         kBuildDate, kBuildTime);
  HV_LOG_INFO("Starting...");
  if (stop_event_ == nullptr) return 1;
  // A host that initialises again after a failure must not have the old
  // manager outlive the storage it borrows.
  ReleaseObjects();

  if (!DelayLoadLibraries()) return 1;
  stop_event_->Reset();

  const std::string data_path = GetHostConfig("DataPath").value_or(std::string());
  if (data_path.empty()) return 1;
  // Hives could never be saved into a folder that is not there.
  if (!IsDirectory(data_path)) {
    HV_LOG_ERROR("Data folder '{}' is not a directory", data_path);
    return 1;
  }
  storage_ = std::make_unique<Storage>(data_path);
  auto notifier =
      std::make_unique<ChangeNotifier>(*stop_event_, identity(), std::make_shared<IpcNotificationSender>());
  manager_ = std::make_unique<SettingsManager>(*storage_, std::move(notifier), *stop_event_, identity());
  {
    platform::MutexLock lock(manager_mutex_);
    wake_target_ = manager_.get();
  }

  const std::string latebound = Latebound::GetLateboundBaseFile(Settings::kProduct, identity());
  if (!latebound.empty()) storage_->CopyInitialBaseFile(Settings::kProduct, Settings::kSystemUser, latebound);

  maker::HvIPC_SetLogCallback(&LogIpcNotice, nullptr);
  HvIpcServer* server = nullptr;
  const uint32_t run_result = maker::HvIPC_RunServer(&server, identity().c_str(), kServiceName, kServerFlags,
                                                     &VelderPlugin::HandleMessage, this, 0);
  if (run_result != HV_IPC_OK) {
    maker::HvIPC_SetLogCallback(nullptr, nullptr);
    HV_LOG_ERROR("Failed to start IPC server");
    return 1;
  }
  server_ = server;

  if (!wake_handler_added_) {
    SubscribeHostEvent(kWakeCategory, [this](uint32_t code, void*) { OnWakeEvent(code); });
    wake_handler_added_ = true;
  }

  ImportSettings();
  return 0;
}

bool VelderPlugin::DelayLoadLibraries() {
  const DelayImportFunction* entries[] = {&maker::HvIPC_DelayLoadInitializeEntry(),
                                          &maker::QorPushApi_DelayLoadInitializeEntry(),
                                          &maker::QorProxyResolver_DelayLoadInitializeEntry()};
  for (const DelayImportFunction* entry : entries) {
    DelayLoadResult result{};
    const uint32_t code = DelayLoad(identity().c_str(), entry, &result);
    if (code != kDelayLoadOk) {
      HV_LOG_ERROR("Failed to delay load '{}': {}", result.library_name, code);
      return false;
    }
  }
  return true;
}

uint32_t VelderPlugin::PluginMain() {
  if (manager_ == nullptr) {
    HV_LOG_ERROR("Not initialized");
    return 1;
  }
  HV_LOG_INFO("Running...");
  manager_->MainLoop();
  HV_LOG_INFO("Stopping...");
  return 0;
}

void VelderPlugin::PluginStop() {
  if (stop_event_ != nullptr) stop_event_->Set();
}

void VelderPlugin::PluginUninitialize() { ReleaseObjects(); }

void VelderPlugin::ReleaseObjects() {
  if (server_ != nullptr) {
    maker::HvIPC_StopServer(server_);
    server_ = nullptr;
    maker::HvIPC_SetLogCallback(nullptr, nullptr);
  }
  {
    platform::MutexLock lock(manager_mutex_);
    wake_target_ = nullptr;
  }
  manager_.reset();
  storage_.reset();
}

void VelderPlugin::OnWakeEvent(uint32_t code) {
  if (code != kWakeCode) return;
  platform::MutexLock lock(manager_mutex_);
  if (wake_target_ != nullptr) wake_target_->Wake();
}

void VelderPlugin::ImportSettings() {
  const std::string tool_path = GetHostConfig("ToolPath").value_or(std::string());
  if (tool_path.empty()) {
    HV_LOG_ERROR("Failed to read Velder update handler path: {}", "ToolPath");
    return;
  }
  // No file named: nothing to import, and nothing worth a log line.
  const std::string import_path = GetHostConfig("ImportPath").value_or(std::string());
  if (import_path.empty()) return;
  const std::string arguments = "--import " + QuoteIfNeeded(import_path) + " --remove";
  int error = 0;
  const std::unique_ptr<ChildProcess> tool = StartProcess(tool_path, arguments, {}, &error);
  if (tool == nullptr) {
    HV_LOG_ERROR("Failed to run '{}': {}", tool_path, error);
    return;
  }
  // The tool talks to the IPC server, which already runs on other threads.
  if (tool->Wait(kImportToolWait) == ChildProcess::WaitResult::kExited) {
    HV_LOG_DEBUG("Velder tool finished");
  } else {
    HV_LOG_WARNING("Velder tool is detaching");
  }
}

uint32_t VelderPlugin::HandleMessage(uint32_t kind, const uint8_t* bytes, uint32_t count, HvIpcMessage* message,
                                     void* context) {
  auto* self = static_cast<VelderPlugin*>(context);
  const bool is_admin = maker::HvIPC_MessageIsClientAdmin(message) != 0;
  switch (kind) {
    case HV_IPC_KIND_ENVELOPE: return self->HandleStandardMessage(bytes, count, message, is_admin);
    case HV_IPC_KIND_RELOAD_BASE_FILE: return self->HandleUpdateLateboundMessage(message, is_admin);
    default: HV_LOG_REFUSAL(HvQorLogging::kError, ClientSid(message), "Unknown message type: {}", kind); return 1;
  }
}

uint32_t VelderPlugin::HandleUpdateLateboundMessage(HvIpcMessage* message, bool is_admin) {
  if (!is_admin) {
    HV_LOG_REFUSAL(HvQorLogging::kError, ClientSid(message), "Not admin, rejected");
    return 1;
  }
  HV_LOG_INFO("");
  manager_->UpdateSystemBaseFile();
  return 0;
}

uint32_t VelderPlugin::HandleStandardMessage(const uint8_t* bytes, uint32_t count, HvIpcMessage* message,
                                             bool is_admin) {
  IpcMessage request;
  if (bytes == nullptr || !request.Deserialize(bytes, count)) return 1;

  const std::string client_user = ClientSid(message);
  const std::string sender_channel = maker::HvIPC_MessageGetSenderChannel(message);

  IpcMessage response;
  const MessageType type = request.message_type();
  if (type == MessageType::SetValue && request.value().size() > resource_limits::kMaxValueBytes) {
    // Refused before the value is even parsed: nothing of it is kept.
    response.set_message_type(MessageType::Response);
    response.set_result(ResultCode::SizeQuotaExceeded);
  } else {
    try {
      if (!manager_->HandleRequest(request, response, client_user, is_admin, sender_channel)) {
        HV_LOG_REFUSAL(HvQorLogging::kError, client_user, "Request handling failed");
        return 1;
      }
    } catch (const std::bad_alloc&) {
      // Out of memory fails this request; the service and its other clients go on.
      HV_LOG_ERROR("Out of memory in a {} request of {}", MessageTypeName(request.message_type()),
                   ClientName(sender_channel, client_user));
      response = IpcMessage();
      response.set_message_type(MessageType::Response);
      response.set_result(ResultCode::GenericFailure);
    }
  }
  if (response.result() == static_cast<uint32_t>(ResultCode::SizeQuotaExceeded)) {
    HV_LOG_REFUSAL(HvQorLogging::kWarning, client_user, "{} of '{}' by {} refused: over a size limit (values {} bytes, hive {} bytes, {} subscriptions "
                   "per connection)",
                   MessageTypeName(request.message_type()), request.path(), ClientName(sender_channel, client_user),
                   resource_limits::kMaxValueBytes, resource_limits::kMaxLocalDocumentBytes,
                   resource_limits::kMaxSubscriptionsPerChannel);
  } else if (type == MessageType::Subscribe && response.result() == static_cast<uint32_t>(ResultCode::Success)) {
    // A listening client is idle by nature; the library must not time it out.
    maker::HvIPC_MessageKeepConnection(message, 1);
  }
  size_t size = 0;
  const uint8_t* serialized = response.Serialize(&size);
  if (serialized == nullptr || size == 0 || size > std::numeric_limits<uint32_t>::max()) {
    HV_LOG_FATAL("Failed to serialize");
    return 1;
  }
  const uint32_t set_result = maker::HvIPC_MessageSetResponse(message, serialized, static_cast<uint32_t>(size));
  if (set_result != HV_IPC_OK) HV_LOG_WARNING("Response of {} bytes not accepted: {}", size, set_result);
  return 0;
}
