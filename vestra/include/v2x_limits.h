// SPDX-License-Identifier: Apache-2.0
/** @file
 * The limits of the whole stack in one place: what an application may hand
 * to the calls, what travels on the application socket and what fits a
 * datagram to the radio module. The calls refuse what the core would refuse,
 * before anything is sent, so a call that returns 0 has handed over a
 * message that the core can put on the air. */
#ifndef VESTRA_V2X_LIMITS_H
#define VESTRA_V2X_LIMITS_H

#include <stdint.h>

#include <morrow/v2x_api.h>

V2X_EXTERN_C_BEGIN

/* ---- Application socket ---------------------------------------------------
 * Every message is a 6-byte header and a payload; neither side builds a
 * message longer than 4096 bytes. */
#define V2X_CORE_APP_HDR_LEN 6u          /**< Message header length: tCoreApp. */
#define V2X_CORE_APP_BUF_LEN 4096u       /**< Largest message either side builds. */
#define V2X_CORE_APP_MAX_PAYLOAD 4090u   /**< Largest payload: V2X_CORE_APP_BUF_LEN - header. */
#define V2X_DSM_REQ_HEAD_LEN 270u        /**< tDSMReq without its data. */
#define V2X_DSM_IND_HEAD_LEN 14u         /**< tDSMInd without its data. */
#define V2X_DSM_IND_MAX_DATA 4076u       /**< Largest indication data: 4096 - 6 - 14. */
#define V2X_DSM_HDR_EXTS_LEN 256u        /**< Length of tDSMReq.dsmHdrExts. */
#define V2X_DME_DSM_SERV_REQ_LEN 11u     /**< Payload length of V2X_DME_DSM_SERV_REQ (tDMEDSMServReq). */
#define V2X_DME_DSM_SERV_CFM_LEN 8u      /**< Payload length of V2X_DSM_CFM (tDMEDSMServCfm). */
#define V2X_DME_PROV_SERV_REQ_LEN 523u   /**< Payload length of V2X_DME_PROV_SERV_REQ (tDMEProvServReq). */
#define V2X_DME_USER_SERV_REQ_LEN 270u   /**< Payload length of V2X_DME_USER_SERV_REQ (tDMEUserServReq). */
#define V2X_DME_SERV_CFM_LEN 6u          /**< Payload length of the provider and user confirms. */
#define V2X_DME_TEXT_LEN 256u            /**< Text fields dsaHdrExt and otherInfo. */

/* ---- Registrations ----------------------------------------------------------
 * Each family of registrations (DSM services, DME providers, DME users)
 * hands out the indices 0..V2X_LIM_REG_MAX-1 from one 32-bit set; the
 * core's DSM service table has as many entries. A DSM registration waits
 * for its confirm in a list of V2X_LIM_REG_PEND_MAX. */
/** Indices of each registration family (0..V2X_LIM_REG_MAX-1, one 32-bit
 * set), and entries of the core's DSM service table. */
#define V2X_LIM_REG_MAX 32u
/** Length of the list in which DSM registrations wait for their confirm. */
#define V2X_LIM_REG_PEND_MAX 64u

/* ---- Core -------------------------------------------------------------------
 * Buffers of each of the two datagram rings (receive, send), and so places
 * of each priority's transmit queue; the gap between two datagrams to the
 * radio module; the daemon server's receive buffer; the management entity's
 * advertisement frame (two header bytes and a text of at most 255). */
#define V2X_LIM_DSM_MEM_CNT 10u      /**< Buffers of each datagram ring (receive, send), and places
                                          of each priority's transmit queue. */
#define V2X_LIM_RLINK_PACE_US 70000u /**< Gap between two datagrams to the radio module, microseconds. */
#define V2X_LIM_DMN_RX_BUF 16384u    /**< The daemon server's receive buffer, bytes. */
#define V2X_LIM_DSA_FRAME 1024u      /**< The management entity's advertisement frame (two header
                                          bytes and a text of at most 255). */
/** Longest datagram the receive side decodes: its frame length travels in
 * 16 bits after the protocol-type byte. */
#define V2X_LIM_RX_DGRAM_MAX 65536u

/* ---- Radio link -------------------------------------------------------------
 * A sent DSM message becomes one datagram: the protocol-type byte, then the
 * DSMP frame (header byte, the optional extension element, the AID, a 2-byte
 * length, the data). Protocol-type byte and frame share one buffer of
 * V2X_LIM_FRAME_BUF bytes. */
/** The one buffer of a sent datagram: protocol-type byte and DSMP frame. */
#define V2X_LIM_FRAME_BUF 2040u
/* AIDs: 0..127 take one byte, 128..16511 two; larger AIDs have no encoding. */
#define V2X_LIM_AID_1B_MAX 127u  /**< Largest AID of the one-byte form (0..127). */
#define V2X_LIM_AID_MAX 16511u   /**< Largest AID (two-byte form 128..16511); larger AIDs have no encoding. */
/* Extension element: tDSMReq.dsmHdrExts[1] value bytes after an id and a
 * length byte; 0 means no element. Receivers drop frames whose value is
 * longer than V2X_LIM_EXT_RX_MAX. */
#define V2X_LIM_EXT_MAX 253u     /**< Most value bytes of a sent extension element (tDSMReq.dsmHdrExts[1]). */
#define V2X_LIM_EXT_RX_MAX 32u   /**< Receivers drop frames whose extension value is longer. */
/* Largest DSM data for each AID form without an extension element; an
 * element of V value bytes takes V + 2 more. */
#define V2X_LIM_DSM_DATA_MAX_1B 2035u /**< Largest DSM data for a one-byte AID without an extension
                                           element: 2040 - type - header - AID - length. */
#define V2X_LIM_DSM_DATA_MAX_2B 2034u /**< Largest DSM data for a two-byte AID without an extension
                                           element. */
/** Largest DSM data of any message (one-byte AID, no extension). */
#define V2X_LIM_DSM_DATA_MAX V2X_LIM_DSM_DATA_MAX_1B

/** Largest data a DSM message may carry for an AID and an extension.
 * An extension element of V value bytes takes V + 2 bytes of the frame.
 * @param aicAid the message's AID.
 * @param aicExtLen value bytes of its extension element (0: none).
 * @return the largest data length in bytes (2035 for AIDs 0..127, 2034 for
 *         128..16511, each less the extension's V + 2).
 * @retval -1 the AID (above 16511) or the extension (above 253) has no
 *            encoding. */
static inline int32_t v2x_dsm_data_max(const uint32_t aicAid, const uint32_t aicExtLen)
{
    if (aicAid > V2X_LIM_AID_MAX || aicExtLen > V2X_LIM_EXT_MAX) {
        return -1;
    }
    const uint32_t aidLen = aicAid <= V2X_LIM_AID_1B_MAX ? 1u : 2u;
    const uint32_t ext = aicExtLen != 0 ? aicExtLen + 2u : 0u;
    return (int32_t)(V2X_LIM_FRAME_BUF - 1u - 1u - ext - aidLen - 2u);
}

V2X_STATIC_ASSERT(V2X_CORE_APP_MAX_PAYLOAD == V2X_CORE_APP_BUF_LEN - V2X_CORE_APP_HDR_LEN,
                  "largest payload");
V2X_STATIC_ASSERT(V2X_DSM_IND_MAX_DATA ==
                      V2X_CORE_APP_BUF_LEN - V2X_CORE_APP_HDR_LEN - V2X_DSM_IND_HEAD_LEN,
                  "largest indication data");
V2X_STATIC_ASSERT(V2X_LIM_DSM_DATA_MAX_1B == V2X_LIM_FRAME_BUF - 5u, "one-byte AID form");
V2X_STATIC_ASSERT(V2X_LIM_DSM_DATA_MAX_2B == V2X_LIM_FRAME_BUF - 6u, "two-byte AID form");
V2X_STATIC_ASSERT(V2X_LIM_REG_MAX == 32u, "one 32-bit index set per family");
V2X_STATIC_ASSERT(V2X_LIM_DSA_FRAME >= 2u + V2X_DME_TEXT_LEN - 1u, "advertisement frame");
V2X_STATIC_ASSERT(V2X_DSM_REQ_HEAD_LEN + V2X_LIM_DSM_DATA_MAX <= V2X_CORE_APP_MAX_PAYLOAD,
                  "every DSM request the core can send fits one message");

V2X_EXTERN_C_END

#endif /* VESTRA_V2X_LIMITS_H */
