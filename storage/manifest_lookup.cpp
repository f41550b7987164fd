// manifest_lookup.cpp - placeholder until written.
