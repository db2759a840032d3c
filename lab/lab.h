// Everything the end-to-end tests use, in one include.
#ifndef E1CTLD_LAB_LAB_H_
#define E1CTLD_LAB_LAB_H_

#include "lab/access_watch.h"
#include "lab/daemon_process.h"
#include "lab/fake_usb.h"
#include "lab/fs.h"
#include "lab/port_client.h"
#include "lab/process.h"
#include "lab/rig.h"
#include "lab/sandbox.h"
#include "lab/sim_controller.h"
#include "lab/tool.h"
#include "lab/veth.h"
#include "lab/wait.h"

#endif  // E1CTLD_LAB_LAB_H_
