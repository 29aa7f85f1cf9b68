// zv_conf_probe: loads a configuration file exactly as zarvik-smf does when it starts
// (init_config, without check mode) and prints the run-time paths it names, one
// "KEY VALUE" line each, for the installation tests to compare with the installed tree.
// What the filter would send to syslog goes to standard error here, so a refused file
// shows why. Exit 0 when the file loaded, 1 when it was refused.
#include <cstdio>
#include <string>

#include "zv_cmdline.h"
#include "zv_log.h"
#include "zv_options.h"
#include "zvc_strings.h"

namespace {

class StderrSink : public LogSink {
 public:
  void open_syslog(const char*) override {}
  void close_syslog() override {}
  void syslog(int, const char* text) override { std::fprintf(stderr, "%s\n", text); }
  void console(const char* text, unsigned long length) override {
    std::fwrite(text, 1, length, stderr);
  }
};

void print(const char* key, const char* value) {
  if (value != nullptr) std::printf("%s %s\n", key, value);
}

void print_templates(const NotificationConfig& n) {
  print("template", n.sender_template);
  print("template", n.admin_template);
  print("template", n.rcpts_template);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: zv_conf_probe CONFIG-FILE\n");
    return 2;
  }
  StderrSink sink;
  zv_log_set_sink(&sink);
  std::string conf = std::string("--conf=") + argv[1];
  char name[] = "zv_conf_probe";
  char* args[] = {name, conf.data(), nullptr};
  FilterConfig* config = filter_config();
  if (!init_config(2, args, config, nullptr)) return 1;

  print("spool", config->scanning.spool.directory);
  print("quarantine", config->actions.quarantine.directory);
  print("account", config->scanning.filter_account);
  std::printf("foreground %d\n", config->scanning.run_foreground);
  print("milter", config->mailer.milter_address);
  print("sendmail", config->mailer.sendmail);
  print("agent", config->agent.address);
  if (config->daemon.addresses != nullptr)
    for (const std::string& address : *config->daemon.addresses) print("daemon", address.c_str());
  for (const NotificationConfig* n :
       {&config->virus_notify, &config->malware_notify, &config->skip_notify,
        &config->archive_notify, &config->error_notify, &config->rule_filter_notify,
        &config->cured_notify})
    print_templates(*n);
  release_loaded_config();
  zv_log_set_sink(nullptr);
  return 0;
}
