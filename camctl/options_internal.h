// camctl's command line.
#pragma once

#include <string>
#include <vector>

#include "client_internal.h"

struct camctl_options {
  std::string command;            // discover, forceip, get, set, features, xml, reg, stream, snap
  std::vector<std::string> args;  // what follows the command, options taken out
  std::string iface;              // -i: discovery on this interface only
  client_options client;          // --timeout, --retries
  std::string to;                 // stream --to [HOST:]PORT
  unsigned packet_size = 0;       // stream --packet-size (0: the camera's current one)
  unsigned channel = 0;           // stream --channel
  double seconds = 0;             // -T: stream until stopped, snap 10 s when 0
  bool shared = false;            // stream --shared: control access, not exclusive

  std::string output = "snap.png";  // snap -o
  unsigned count = 1;               // snap --count
  bool incomplete = false;          // snap --incomplete: write those too, marked
  bool raw = false;                 // snap --raw: the bytes and leader, not PNG
  bool raw_bayer = false;           // snap --raw-bayer: the mosaic as gray
};

// Returns exit_ok, or the status main ends with after the message printed here.
int parse_options(int argc, char **argv, camctl_options &opts);
