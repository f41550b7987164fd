// stats.cpp - placeholder until written.
