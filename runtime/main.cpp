// The agent: maps with its robot and shares what it sees with the group until it is
// told to stop. Options (agent --help) name it, place its robot in the team's world
// frame, choose the robot server, the map directory, the longest sonar range trusted and
// how readings become map updates; without them it asks its name on standard input.
#include <cstdio>
#include <string>

#include "base/console.h"
#include "nav/localizer.h"
#include "runtime/agent_options.h"
#include "runtime/main_loop.h"
#include "state/shared_state.h"

int main(int argc, char** argv) {
  AgentOptions options;
  std::string message;
  switch (parseAgentOptions(argc, argv, options, message)) {
    case OptionsOutcome::Exit:
      std::fputs(message.c_str(), stdout);
      return 0;
    case OptionsOutcome::UsageError:
      writeLine(stderr, message);
      return 2;
    case OptionsOutcome::Run:
      break;
  }
  if (!prepareMapDirectory(options.directory, message)) {
    writeLine(stderr, "agent: " + message);
    return 2;
  }
  mapDirectory = options.directory;
  mapModel = options.mapping;
  localizing = options.localize;
  setLocalizerLag(options.localizeLagSeconds * 1000);
  // The mutexes, records, agentId and peerTable are static objects, already built.
  createSharedObjects(options.server, options.sonarMaxRange);
  int status = agentMain(options);
  destroySharedObjects();
  return status;
}
