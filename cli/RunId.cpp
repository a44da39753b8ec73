#include "cli/RunId.h"

#include <uuid/uuid.h>

std::string NewRunId() {
    uuid_t id;
    uuid_generate_random(id);
    char text[37];
    uuid_unparse_lower(id, text);
    return text;
}
