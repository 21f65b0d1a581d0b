// camctl's commands, one procedure each. They print results on stdout and
// throw camctl_error for what ends them early; the status they return is
// for partial failures (a feature among several that could not be read).
#pragma once

#include <netinet/in.h>

#include <string>

#include "client_internal.h"
#include "options_internal.h"

int run_discover(const camctl_options &opts);
int run_forceip(const camctl_options &opts);
int run_get(const camctl_options &opts);
int run_set(const camctl_options &opts);
int run_features(const camctl_options &opts);
int run_xml(const camctl_options &opts);
int run_reg(const camctl_options &opts);
int run_stream(const camctl_options &opts);
int run_snap(const camctl_options &opts);

// CAMERA as the user gave it: ADDRESS[:PORT] directly, else a MAC, serial
// or user name looked up by discovery. Opens the client on it.
void open_camera(const camctl_options &opts, const std::string &camera, gvcp_client &c);

// The control channel, held while the value lives.
struct control_hold {
  gvcp_client &c;
  bool held = false;
  control_hold(gvcp_client &client, bool exclusive);
  ~control_hold();
  void release();
};
