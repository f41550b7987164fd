// blobs.cpp - placeholder until written.
