#pragma once
// A TBatchRun run inside the test process instead of as a child: the same
// folder, command line and console text, with the loader's waits on the
// virtual clock, so that a run that sits through the loader's own timeouts
// takes no longer than its unit keeps it busy.

#include <stdio.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "E2eSupport.h"
#include "LoaderTestApp.h"
#include "VirtualClock.h"
#include "loader/core/CommandLine.h"
#include "loader/unattended/ConsoleOperatorDialog.h"
#include "loader/unattended/UnattendedConsole.h"
#include "loader/unattended/UnattendedRun.h"
#include "serial/qt/AdPortContext.h"
#include "serial/qt/AdWaitWaker.h"
#include "unitsim/UnitSimScheme.h"

namespace kestrel::e2e {

// Runs `batch` (its COM1 "sim:..." or nowhere) and returns its exit status;
// Said, Err, ReceivedByUnit and the images read as after a child's run.
// `realClock`: the waits keep real time, for a case whose point is what the
// unit says while the loader waits.
// `prepare`, when given, sees the run before its start-up work.
inline int run_in_process(TBatchRun& batch, bool realClock = false,
                          const std::function<void(TLoaderRun&)>& prepare = {}) {
  TKestrelApplication& app = test_application();
  const std::filesystem::path home = std::filesystem::current_path();
  std::filesystem::current_path(batch.Folder.Path());
  ::setenv("KESTREL_COM1", batch.Com1().c_str(), 1);
  ::setenv("KESTREL_COM2", "/nonexistent/kestrel-e2e-com2", 1);

  char* text = nullptr;
  size_t size = 0;
  std::FILE* out = ::open_memstream(&text, &size);
  int status = -1;
  {
    TUnattendedConsole console(out, false);
    TConsoleOperatorDialog dialog(console);
    app.SetOperatorDialog(&dialog);
    std::vector<std::unique_ptr<TVirtualTimeClock>> clocks;  // outlive the run's window
    // The run's ports, as the program's: the simulated unit on offer.
    TApdPortContext ports(TApdWaitWaker::Instance());
    RegisterSimulatedUnitScheme(ports.PortMap);
    TUnattendedRun run;
    run.Ports = &ports;
    run.Prepare = prepare;
    status = run_unattended(parse_command_line(batch.Args()), dialog, console,
                            realClock ? TLoaderRunFactory(create_unattended_window)
                                      : unattended_windows_on_virtual_clocks(clocks),
                            run);
    app.SetOperatorDialog(nullptr);
  }
  std::fclose(out);
  batch.Finished(status, std::string(text, size));
  std::free(text);

  ::setenv("KESTREL_COM1", "/nonexistent/kestrel-test-com1", 1);
  ::setenv("KESTREL_COM2", "/nonexistent/kestrel-test-com2", 1);
  std::filesystem::current_path(home);
  return status;
}

}  // namespace kestrel::e2e
