// SPDX-License-Identifier: Apache-2.0
// vexokrt sim: serves a simulated cash changer on a pseudo-terminal. The first
// line of standard output is "slave: <path>"; with --http the second is
// "http: <url>" of the control panel. Control lines are read from standard
// input (see the README's Simulator section) until it closes, or until SIGINT
// or SIGTERM.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "argument_checks.h"
#include "command_registry.h"
#include "sim/control_script.h"
#include "sim/simulator.h"
#include "sim/web_panel.h"

namespace vexokrt::tools {
namespace {

struct SimOptions {
  std::string model = "KRT77";
  bool wire_timing = false;
  bool ignore_stdin = false;
  int latency_ms = 0;
  std::string http;  // "[ADDR:]PORT" of the control panel; empty: none
};

void PrintNow(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

int RunSim(const SimOptions& options) {
  std::optional<sim::Model> model = sim::ParseModel(options.model);
  if (!model) {
    std::fprintf(stderr, "unknown model '%s' (KRT02F, KRT02FA, KRT03, KRT07, KRT77)\n", options.model.c_str());
    return 2;
  }
  std::optional<sim::WebPanelOptions> panel_options;
  if (!options.http.empty()) {
    panel_options = sim::ParseListenAddress(options.http);
    if (!panel_options) {
      std::fprintf(stderr, "--http takes [ADDRESS:]PORT, not '%s'\n", options.http.c_str());
      return 2;
    }
  }
  // Signals are taken through a descriptor, so block them before any thread
  // starts: every thread inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  int signal_fd = signalfd(-1, &signals, SFD_CLOEXEC);
  if (signal_fd < 0) {
    std::perror("signalfd");
    return 1;
  }

  sim::EngineOptions engine_options;
  engine_options.model = *model;
  engine_options.wire_timing = options.wire_timing;
  engine_options.answer_latency_ms = options.latency_ms;
  sim::Simulator simulator(engine_options);
  sim::StartResult started = simulator.Start();
  if (!started.ok) {
    std::fprintf(stderr, "cannot start the simulator: %s\n", started.error.c_str());
    close(signal_fd);
    return 1;
  }
  PrintNow("slave: " + simulator.SlavePath() + "\n");
  std::unique_ptr<sim::WebPanel> panel;
  if (panel_options) {
    panel = std::make_unique<sim::WebPanel>(simulator.Engine(), *panel_options);
    if (sim::WebPanel::StartResult served = panel->Start(); !served.ok) {
      std::fprintf(stderr, "cannot serve the control panel: %s\n", served.error.c_str());
      simulator.Stop();
      close(signal_fd);
      return 1;
    }
    PrintNow("http: " + panel->Url() + "\n");
  }
  const sim::ModelTraits& traits = sim::TraitsOf(*model);
  std::fprintf(stderr, "%s on %s (a pty reports only the speed; 'help' lists the control commands)\n",
               std::string(traits.display_name).c_str(),
               sim::FormatLineSettings(simulator.Engine().CurrentLine()).c_str());

  std::string buffer;
  bool reading = !options.ignore_stdin;
  bool running = true;
  while (running) {
    pollfd fds[2] = {{signal_fd, POLLIN, 0}, {reading ? STDIN_FILENO : -1, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if ((fds[0].revents & POLLIN) != 0) break;
    if ((fds[1].revents & (POLLIN | POLLHUP)) == 0) continue;
    char chunk[1024];
    ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
    if (n <= 0) break;  // standard input closed
    buffer.append(chunk, static_cast<std::size_t>(n));
    std::size_t newline;
    while ((newline = buffer.find('\n')) != std::string::npos) {
      std::string line = buffer.substr(0, newline);
      buffer.erase(0, newline + 1);
      sim::ControlReply reply = sim::ExecuteControlLine(simulator.Engine(), line);
      PrintNow(reply.text);
      if (reply.quit) {
        running = false;
        break;
      }
    }
  }
  if (panel) panel->Stop();
  simulator.Stop();
  close(signal_fd);
  return 0;
}

const CommandRegistration kSimCommand{[] {
  auto options = std::make_shared<SimOptions>();
  Command command{"sim", "Serve a simulated cash changer on a pseudo-terminal"};
  command.Add("--model", &options->model, "KRT02F, KRT02FA, KRT03, KRT07 or KRT77")
      .ShowDefault()
      .Check(RefuseUnknownModel);
  command.Add("--wire-timing", &options->wire_timing, "Pace answers at the line speed (11 bits a byte)");
  command.Add("--latency", &options->latency_ms, "Think time before every answer, ms").ShowDefault().Range(0, 60000);
  command.Add("--http", &options->http,
              "Serve the control panel on [ADDRESS:]PORT (address 127.0.0.1 unless given; port 0: any free one)")
      .Check(RefuseListenAddress);
  command.Add("--ignore-stdin", &options->ignore_stdin, "Do not read control lines; serve until SIGINT or SIGTERM");
  command.run = [options] { return RunSim(*options); };
  return command;
}};

}  // namespace
}  // namespace vexokrt::tools
