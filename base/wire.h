/* wire.h - texts every layer sends to HTTP clients byte for byte. */
#ifndef REG_WIRE_H
#define REG_WIRE_H

/* Every registry response carries this header line. */
#define OCI_API_VERSION_HEADER "Docker-Distribution-API-Version: registry/2.0"

/* The Basic challenge of a request without valid credentials. */
#define REGISTRY_AUTH_CHALLENGE_HEADER "WWW-Authenticate: Basic realm=\"Tessellane\""
#define REGISTRY_AUTH_CHALLENGE_BODY \
    "{\"errors\":[{\"code\":\"UNAUTHORIZED\",\"message\":\"authentication required\"}]}\n"

#endif
