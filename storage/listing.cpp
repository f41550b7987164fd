// listing.cpp - placeholder until written.
