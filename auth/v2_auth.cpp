// v2_auth.cpp - placeholder until written.
