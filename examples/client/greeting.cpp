// greeting [TEXT]: prints the setting "example.greeting" of the calling user;
// with TEXT, writes it first. Exit code 0 on success, 1 when the settings
// service refused or could not be reached (the reason on standard error).
#include <velder/velder_client.h>

#include <iostream>
#include <memory>

namespace {

int Fail(const char* what, const velder::Status& status) {
  std::cerr << "greeting: " << what << ": " << status.Message() << "\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  constexpr char kPath[] = "example.greeting";

  velder::ClientOptions options;  // the service "velder", the user's own settings
  options.client_name = "greeting";
  std::unique_ptr<velder::Client> client;
  if (velder::Status s = velder::Client::Connect(options, &client); !s.ok()) return Fail("connect", s);

  if (argc > 1) {
    if (velder::Status s = client->SetString(kPath, argv[1]); !s.ok()) return Fail("set", s);
  }
  const velder::Result<std::string> greeting = client->GetString(kPath);
  if (!greeting.ok()) return Fail("get", greeting.status);
  std::cout << greeting.value << "\n";
  return 0;
}
