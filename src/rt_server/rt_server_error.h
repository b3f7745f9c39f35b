#ifndef RT_SERVER_RT_SERVER_ERROR_H_
#define RT_SERVER_RT_SERVER_ERROR_H_

#include <cstddef>
#include <string>

#include "bd_common/bd_error.h"

// The router's own result codes, from 2000 up; descriptions in g_RtServerErrorDescription.
enum RtServerErrorCode {
    // Every failed write of a peer's online state.
    RT_DATABASE_OPERATION_ERROR = 2000,
};

extern const BdErrorDescription g_RtServerErrorDescription[];
extern const size_t g_RtServerErrorDescriptionCount;

// The router's describer, handed to the logger. Stateless; owned by the application.
class RtServerError : public BdError {
  public:
    // Below 2000 the shared table's description, from 2000 up the router's; else the empty string.
    std::string GetDescription(int code) const override;
};

#endif  // RT_SERVER_RT_SERVER_ERROR_H_
