// admin_seam.cpp - the shipped registry-admin holds nothing: its collection starts at once.
#include "tools/admin_seam.h"

void admin_collection_starts() {}
