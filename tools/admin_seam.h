// admin_seam.h - the one point where a test build of registry-admin may hold a collection.
#ifndef ADMIN_SEAM_H
#define ADMIN_SEAM_H

// Called just before gc starts a collection. The shipped program links
// tools/admin_seam.cpp, which does nothing; the tests link a build of their
// own whose definition can hold the run at a known point.
void admin_collection_starts();

#endif
