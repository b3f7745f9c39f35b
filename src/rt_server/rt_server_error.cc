#include "rt_server/rt_server_error.h"

const BdErrorDescription g_RtServerErrorDescription[] = {
    {RT_DATABASE_OPERATION_ERROR, "database operation error"},
};

const size_t g_RtServerErrorDescriptionCount =
    sizeof(g_RtServerErrorDescription) / sizeof(g_RtServerErrorDescription[0]);

std::string RtServerError::GetDescription(int code) const {
    if (code < RT_DATABASE_OPERATION_ERROR) {
        return BdError::GetDescription(code);
    }
    return BdFindErrorDescription(g_RtServerErrorDescription, g_RtServerErrorDescriptionCount,
                                  code);
}
