// manifest_put.cpp - placeholder until written.
