// camctl's command line.
#pragma once

#include <string>
#include <vector>

#include "client_internal.h"

struct camctl_options {
  std::string command;            // discover, forceip, get, set, features, xml, reg, stream
  std::vector<std::string> args;  // what follows the command, options taken out
  std::string iface;              // -i: discovery on this interface only
  client_options client;          // --timeout, --retries
  std::string to;                 // stream --to [HOST:]PORT
  unsigned packet_size = 0;       // stream --packet-size (0: the camera's current one)
  unsigned channel = 0;           // stream --channel
  double seconds = 0;             // stream -T (0: until stopped)
  bool shared = false;            // stream --shared: control access, not exclusive
};

// Returns exit_ok, or the status main ends with after the message printed here.
int parse_options(int argc, char **argv, camctl_options &opts);
