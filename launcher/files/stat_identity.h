#pragma once

// POSIX only: the one reading of a stat record into a FileIdentity, shared
// by the files room's POSIX sources.
#include "files/file_identity.h"

struct stat;

FileIdentity identity_of(const struct stat &data);
