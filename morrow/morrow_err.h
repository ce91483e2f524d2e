// SPDX-License-Identifier: Apache-2.0
/** @file
 * @brief Result codes of libmorrow's daemon server and watchdog feeder.
 *
 * Both name the same codes with the same values, each with its own suffix
 * (SUCCESS_DMN / SUCCESS_DOG, ERR_SOCKET_OPEN_DMN / ERR_SOCKET_OPEN_DOG, ...);
 * the list is written once here so that the two cannot drift apart. */
#ifndef MORROW_ERR_CODES_H
#define MORROW_ERR_CODES_H

/** Makes the enumerator NAME_SFX = VAL; the X of MORROW_ERR_CODES for an enum. */
#define MORROW_ERR_ENUMERATOR(SFX, NAME, VAL) NAME##_##SFX = VAL,

/** X(suffix, name, value) for every code but the end marker ERR_MAX_\<SFX\>. */
#define MORROW_ERR_CODES(X, SFX) \
    X(SFX, SUCCESS, 0) \
    X(SFX, ERR_TMP, 1) \
    X(SFX, ERR_MALLOC, 2) \
    X(SFX, ERR_CALLOC, 3) \
    X(SFX, ERR_NEW_MEM, 4) \
    X(SFX, ERR_CREATE_PIPE, 5) \
    X(SFX, ERR_FOPEN, 6) \
    X(SFX, ERR_FREAD, 7) \
    X(SFX, ERR_OPEN_TTY, 8) \
    X(SFX, ERR_GET_RLIMIT, 9) \
    X(SFX, ERR_SET_RLIMIT, 10) \
    X(SFX, ERR_PTHREAD_CREATE, 11) \
    X(SFX, ERR_EVENT_NEW_BASE, 12) \
    X(SFX, ERR_EVENT_NEW, 13) \
    X(SFX, ERR_LIBCFG_READ_FILE, 14) \
    X(SFX, ERR_LIBCFG_CFG_LOOKUP, 15) \
    X(SFX, ERR_LIBCFG_SETTING_LOOKUP, 16) \
    X(SFX, ERR_CFG_SETTING_GET_MEMBER, 17) \
    X(SFX, ERR_LIBCFG_SETTING_GET_ELEM, 18) \
    X(SFX, ERR_CFG_SETING_LEN, 19) \
    X(SFX, ERR_SOCKET_OPEN, 4096) \
    X(SFX, ERR_SOCKET_LISTEN, 4097) \
    X(SFX, ERR_SOCKET_CONNECT, 4098) \
    X(SFX, ERR_SOCKET_IOCTL, 4099) \
    X(SFX, ERR_SOCKET_BIND, 4100) \
    X(SFX, ERR_SOCKET_READ, 4101) \
    X(SFX, ERR_SOCKET_WRITE, 4102) \
    X(SFX, ERR_RTNL_OPEN, 4103) \
    X(SFX, IW_GET_INTER_DATA, 4104) \
    X(SFX, ERR_PARAM_CNT, 4105) \
    X(SFX, ERR_PARAM_LEN, 4106) \
    X(SFX, ERR_PARAM_CONTENT, 4107) \
    X(SFX, ERR_LOG_INIT, 4108) \
    X(SFX, ERR_VER_SWITCH, 4109) \
    X(SFX, ERR_HELP_SWITCH, 4110) \
    X(SFX, ERR_SET_LOG_LEV, 4111)

/** Value of the end marker ERR_MAX_\<SFX\>, one above the last code. */
#define MORROW_ERR_MAX 4112

#endif
