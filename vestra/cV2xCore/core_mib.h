// SPDX-License-Identifier: Apache-2.0
/* The management information base. Of the whole record tree only the DSM
 * service table is live: it records which AIDs the applications want to
 * receive. The other tables are kept zeroed for later management
 * functions. Every access holds the MIB's reader-writer lock. */
#ifndef VESTRA_CORE_MIB_H
#define VESTRA_CORE_MIB_H

#include <stddef.h>
#include <stdint.h>

#include "v2x_types.h"

V2X_EXTERN_C_BEGIN

#define DOT3_TABLE_LEN V2X_LIM_REG_MAX /* entries of every MIB table */

#pragma pack(push, 1)

typedef struct _tDot3IPv6Prefix_ {
    uint8_t Address[16];
    uint8_t Length;
} tDot3IPv6Prefix;

typedef struct _tDot3NetworkInfo_ {
    uint16_t RouterLifetime;
    tDot3IPv6Prefix IPv6Prefix;
    uint8_t DefaultGateway[16];
    uint8_t GatewayMACAddress[6];
    uint8_t SeparateGatewayMAC;
    uint8_t PrimaryDns[16];
    uint8_t SecondaryDns[16];
} tDot3NetworkInfo;

typedef struct _tDot3AddressEntry_ {
    int8_t AiIndex;
    uint8_t MACAddress[6];
} tDot3AddressEntry;

typedef struct _tDot3AddressInfo_ {
    tDot3AddressEntry Entry[2];
} tDot3AddressInfo;

typedef struct _tDot3LocalInfo_ {
    uint8_t SSID[32];
    uint8_t OperationalRateSet[126];
    uint8_t NumberOfChannelsSupported;
    uint16_t RegistrationPort;
    uint16_t WaveForwarderPort;
    int16_t WsmMaxLength;
    uint8_t Location3D[15];
    uint8_t AdvertId[32];
    uint32_t lclIfValdFlg;
    char txPwr;
    char cotryStr[32];
} tDot3LocalInfo;

typedef struct _tDot3SystemMIB_ {
    tDot3NetworkInfo NetworkInfo;
    tDot3AddressInfo AddressInfo;
    tDot3LocalInfo LocalInfo;
} tDot3SystemMIB;

typedef struct _tDot3ServiceContext_ {
    uint8_t Length;
    uint8_t PSCContents[32];
} tDot3ServiceContext;

typedef struct _tDot3WMEPstEntry_ {
    uint8_t Length;
    uint16_t ProviderContents;
    uint32_t ProviderServiceIdentifier;
    tDot3ServiceContext ProviderServiceContext;
    uint8_t ApplicationPriority;
    uint8_t IPv6Address[16];
    uint16_t ServicePort;
    uint8_t ProviderDeviceAddressing;
    uint8_t PeerMACAddress[6];
    uint8_t ChannelSelection;
} tDot3WMEPstEntry;

typedef struct _tDot3WMEProviderServiceInfo_ {
    uint32_t Count;
    tDot3WMEPstEntry List[DOT3_TABLE_LEN];
} tDot3WMEProviderServiceInfo;

typedef struct _tDot3WMEUserServiceReq_ {
    uint32_t Valid;
    uint16_t LclServiceIndex;
    uint8_t UsrSvcAction;
    uint8_t UsrReqType;
    uint32_t ProviderServiceIdentifier;
    uint8_t ServicePriority;
    uint8_t WSAType;
    tDot3ServiceContext ProviderServiceContext;
    uint8_t SchNumber;
    uint8_t SourceMACAddress[6];
    uint32_t AdvertiserIdentifier;
    uint32_t LinkQuality;
    uint8_t ImmediateAccess;
    uint32_t ExtendedAccess;
} tDot3WMEUserServiceReq;

typedef struct _tDot3UserServiceInfo_ {
    uint32_t UstValidEntry_flag;
    tDot3WMEUserServiceReq UstEntry[DOT3_TABLE_LEN];
} tDot3UserServiceInfo;

typedef enum _eChanlMode_ {
    CHANNEL_MODE_SINGLE = 0,
    CHANNEL_MODE_DUAL = 1,
    CHANNEL_MODE_FORCED = 2,
    CHANNEL_MODE_SINGLE_SWITCH = 4
} eChanlMode;

typedef struct _tDot3WMECitEntry_ {
    uint8_t Length;
    uint16_t ChannelContents;
    uint8_t ChannelNumber;
    uint8_t Adaptable;
    uint8_t DataRate;
    int8_t TxPwrLevel;
} tDot3WMECitEntry;

typedef struct _tDot3ChannelInfo_ {
    uint32_t chalMode; /* eChanlMode */
    uint32_t Count;
    tDot3WMECitEntry List[DOT3_TABLE_LEN];
} tDot3ChannelInfo;

typedef struct _tDot3AstEntry_ {
    int8_t AstIndex;
    uint32_t AstProviderServiceIdentifier;
    uint8_t AstProviderServiceContext[32];
    uint8_t AstApplicationType;
    uint8_t AstApplicationStatus;
    int8_t AstApplicationPriority;
    uint32_t AstPipe;
} tDot3AstEntry;

typedef struct _tDot3AvailableUstEntry_ {
    uint8_t WsaType;
    uint8_t ResultCode;
    uint8_t GenerationTime[8];
    uint8_t Lifetim[8];
    uint8_t ExpectedCrlTime[8];
    uint8_t SourceMacAddress[6];
    uint32_t ProviderServiceIdentifier;
    uint8_t SpecificPermissions[32];
    uint8_t ServicePriority;
    tDot3ServiceContext ProviderServiceContext;
    uint8_t Ipv6Address[16];
    uint16_t ServicePort;
    uint8_t ProviderMacAddress[6];
    uint8_t RcpiThreshold;
    uint8_t AvailableRcpi;
    uint8_t WsaCountThreshold;
    uint8_t OperatingClass;
    uint8_t ChannelNumber;
    uint8_t AvailableAdaptable;
    uint8_t AvailableDataRate;
    uint8_t TransmitPowerLevel;
    uint8_t ChannelAccess;
    uint32_t AdvertiserIdentifier;
    int32_t TxLatitude;
    int32_t TxLongitude;
    uint8_t TxElevation[2];
    uint8_t TxPositionConfidence;
    uint8_t TxElevationConfidence;
    uint8_t TxPositionAccuracy[4];
    uint32_t LinkQuality;
    uint32_t ServiceStatus;
} tDot3AvailableUstEntry;

typedef struct _tDot3AvailableUstServiceInfo_ {
    uint32_t UstValidEntry_flag;
    tDot3AvailableUstEntry AvailableUstEntry[DOT3_TABLE_LEN];
} tDot3AvailableUstServiceInfo;

/* One registration of the DSM service table. */
typedef struct _tDot3WsmServiceEntry_ {
    int8_t UstIndex;   /* the entry's own index */
    uint32_t appId;    /* registered AID, as decoded from a DSMP header */
    uint8_t aidMthFlg; /* 1: matches every AID; otherwise appId must be equal */
} tDot3WsmServiceEntry;

/* The DSM service table: bit i of the flag word marks entry i as in use. */
typedef struct _tDot3WsmServiceInfo_ {
    uint32_t UstValidEntry_flag;
    tDot3WsmServiceEntry WsmServiceEntry[DOT3_TABLE_LEN];
} tDot3WsmServiceInfo;

typedef struct _tDot3ApplicationMIB_ {
    tDot3WMEProviderServiceInfo provSerIf;
    tDot3UserServiceInfo UserServiceInfo;
    tDot3ChannelInfo ChannelInfo;
    tDot3AstEntry ApplicationStatusTable[DOT3_TABLE_LEN];
    tDot3AvailableUstServiceInfo AvailableUstServiceInfo;
    tDot3WsmServiceInfo WsmServiceInfo;
} tDot3ApplicationMIB;

typedef struct _tDot3WMEMIB_ {
    tDot3SystemMIB SystemMIB;
    tDot3ApplicationMIB ApplicationMIB;
} tDot3WMEMIB;

#pragma pack(pop)

V2X_STATIC_ASSERT(sizeof(tDot3WsmServiceEntry) == 6, "tDot3WsmServiceEntry is 6 bytes");
V2X_STATIC_ASSERT(offsetof(tDot3WsmServiceEntry, aidMthFlg) == 5, "tDot3WsmServiceEntry.aidMthFlg");
V2X_STATIC_ASSERT(sizeof(tDot3WsmServiceInfo) == 4 + 32 * 6, "tDot3WsmServiceInfo");
V2X_STATIC_ASSERT(sizeof(tDot3ServiceContext) == 33, "tDot3ServiceContext");
V2X_STATIC_ASSERT(sizeof(tDot3WMECitEntry) == 7, "tDot3WMECitEntry");
V2X_STATIC_ASSERT(sizeof(tDot3AstEntry) == 44, "tDot3AstEntry");

/* Creates the lock and zeroes the whole MIB. 0. */
V2X_API int v2x_mib_init(void);

/* Zeroes the whole MIB. 0; safe without init and when called twice. */
V2X_API int v2x_mib_exit(void);

/* Applies one add, delete or change of the DSM service table for the core
 * itself (owner 0): mib_dsm_serv_update(0, ...). */
V2X_API int mib_dsm_serv_info_updata(const tDMEDSMServReq* aipcDSMServReq);

/* Applies one add, delete or change of aicOwner's entry aipcDSMServReq->index
 * (0..31). Entries are keyed by owner (an application connection; 0 for the
 * core) and index, so two applications may both use index 0, and both may
 * register the same AID; the 32 entries are shared by all. 0, or
 * -ERR_V2X_PARM_CONT (index of 32 or more, null request),
 * -ERR_V2X_ACTION_ADD (index in use by this owner, or the table is full),
 * -ERR_V2X_ACTION_DEL (no such entry), -ERR_V2X_ACTION_CHGE (a change that
 * would make an entry in a full table), -ERR_V2X_ACTION_PARM (unknown
 * action). Any thread. */
int mib_dsm_serv_update(uint32_t aicOwner, const tDMEDSMServReq* aipcDSMServReq);

/* Removes every entry of aicOwner (not 0) when its connection closes.
 * Returns how many there were. */
int mib_dsm_serv_drop_owner(uint32_t aicOwner);

/* Copies the registrations from the aicFirst-th on, at most aicMax of them,
 * into aopRecs; *aopTotal is how many there are. Returns how many it copied.
 * Any thread. */
uint32_t mib_dsm_serv_list(tV2XCtlAid* aopRecs, uint32_t aicFirst, uint32_t aicMax,
                                   uint32_t* aopTotal);

/* 0 when a valid entry accepts the AID, plain -1 otherwise. */
V2X_API int mib_query_dme_dsm_appid(const uint32_t aicAppId);

V2X_EXTERN_C_END

#endif /* VESTRA_CORE_MIB_H */
