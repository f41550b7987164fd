// v2_repo_main.cpp - CGI entry of the repository endpoint.
#include "front/v2_repo.h"

int main() { return handle_v2_repo(nullptr); }
