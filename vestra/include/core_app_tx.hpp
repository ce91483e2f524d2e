// Building one application-core message in a send buffer (library-internal).
#ifndef VESTRA_CORE_APP_TX_HPP
#define VESTRA_CORE_APP_TX_HPP

#include <stddef.h>
#include <string.h>

#include "core_app.h"

// Writes the 6-byte header and the aicLen payload bytes at aopBuf, which must
// hold V2X_CORE_APP_HDR_LEN + aicLen bytes (the caller has checked the
// length). Returns the message's length on the socket.
inline size_t core_app_put_msg(char* aopBuf, uint32_t aicType, const char* aipcMsg,
                               uint16_t aicLen)
{
    memcpy(aopBuf + offsetof(tCoreApp, msgType), &aicType, sizeof(aicType));
    memcpy(aopBuf + offsetof(tCoreApp, msgLen), &aicLen, sizeof(aicLen));
    if (aicLen > 0) {
        memcpy(aopBuf + V2X_CORE_APP_HDR_LEN, aipcMsg, aicLen);
    }
    return V2X_CORE_APP_HDR_LEN + static_cast<size_t>(aicLen);
}

#endif
