/* Compiled as C so that the wire header stays usable from a C driver: the request tables
 * are expanded the way such a driver would expand them. */
#include "nuvex_wire.h"

typedef struct WireRequestShape {
    uint32_t code;
    uint32_t input;
    uint32_t minOutput;
} WireRequestShape;

#define NUVEX_MAIN_SHAPE(name, code, input, minOutput, handshake) {code, input, minOutput},
#define NUVEX_ACL_SHAPE(name, code, input, minOutput) {code, input, minOutput},
const WireRequestShape NuvexWire_CheckMainShapes[] = {NUVEX_MAIN_REQUESTS(NUVEX_MAIN_SHAPE)};
const WireRequestShape NuvexWire_CheckAclShapes[] = {NUVEX_ACL_REQUESTS(NUVEX_ACL_SHAPE)};
