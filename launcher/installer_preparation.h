#pragma once

#include "installer/online_installer.h"
#include "installer/operations.h"

// The entry point of the preparation module (korvel-preparation.so): the installer for the
// player's install root with the real download and the real signature check, the only place
// where the installer's operations are chosen. A demo build of the module (KORVEL_DEMO_*
// definitions) downloads with the demo's transport options. Runs prepare() and stores its
// result; throws whatever prepare() throws.
// C linkage only so the loader finds it by a plain name; both sides are C++.
extern "C" void korvelPrepareInstalledClient(const korvel::StatusOperation* status, korvel::PreparedClient* client);
