#pragma once
// The agent's command line. Every option is optional; without any the agent asks its
// name at the prompt, starts at the origin, talks to localhost:8101, keeps its map
// files in the working directory and maps every sonar echo by the ray rule.
#include <string>

#include "aria/ar_pose.h"
#include "map/sonar_model.h"
#include "robot/robot_setup.h"

struct AgentOptions {
  std::string name;        // empty: asked at the prompt
  ArPose start{0, 0, 0};   // the robot's pose in the team's world frame at start-up
  RobotServer server;
  std::string directory;   // empty: the working directory
  int sonarMaxRange = SONAR_MAX_RANGE_MM;  // mm; 0: every echo
  MapModel mapping = MapModel::Ray;
  bool localize = false;   // correct the pose by matching sonar to the maps
  int localizeLagSeconds = 0;  // match against the own map as it stood this long ago; 0: as it is
};

enum class OptionsOutcome { Run, Exit, UsageError };

// Reads argv into options. Exit after --help or --version, with the text for standard
// output in message; UsageError with a one-line reason for standard error in message.
OptionsOutcome parseAgentOptions(int argc, char** argv, AgentOptions& options, std::string& message);

// Makes the map directory usable: created (with its parents) when missing. False with a
// reason when it cannot be created or is not a writable directory.
bool prepareMapDirectory(const std::string& directory, std::string& reason);
