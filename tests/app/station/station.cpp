// SPDX-License-Identifier: Apache-2.0
// A station process for the end-to-end tests: starts the application runtime
// with the given socket and radio ports, registers AIDs, sends DSM data or
// runs a provider, and prints what its callbacks receive, one line each:
//   IND ver=V aid=A prio=P mac=HEX data=HEX
//   PCFM lcl=L ret=R | DSMCFM aid=A ret=R | SEND rc=R | READY | DONE
// Options:
//   --dmn PATH --rcv PORT --send PORT     (addresses are 127.0.0.1)
//   --register AID                        (repeatable)
//   --go-file PATH                        wait for this file before acting
//   --burst N,AID,LEN                     send N messages of LEN bytes
//   --provider LCL,AID,RATE               add a provider service
//   --run-ms MS                           keep running this long, then exit
//   --until-inds N                        ... or until N indications came
//   --stop-file PATH                      ... or until this file exists
//   --exit-twice                          call cv2x_app_exit twice
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "cv2x_app.h"
#include "self_log.h"

// This program is a host of the libraries: it defines their log level.
extern "C" {
eLogLevl gLogLevl = LOG_LEV_ERROR;
}

namespace {

std::mutex gOutLk;
std::atomic<int> gInds{0};

void out_line(const std::string& s)
{
    std::lock_guard<std::mutex> lk(gOutLk);
    fputs(s.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

std::string hex(const char* p, size_t n)
{
    static const char d[] = "0123456789abcdef";
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        const auto b = static_cast<unsigned char>(p[i]);
        s += d[b >> 4];
        s += d[b & 15];
    }
    return s;
}

int on_ind(uint8_t ver, const uint32_t aid, uint16_t len, const char* msg, const char* mac,
           uint8_t prio)
{
    out_line("IND ver=" + std::to_string(ver) + " aid=" + std::to_string(aid) +
             " prio=" + std::to_string(prio) + " mac=" + hex(mac, 6) + " data=" + hex(msg, len));
    ++gInds;
    return 0;
}

int on_dsm_cfm(const uint32_t aid, eDMERetCd ret)
{
    out_line("DSMCFM aid=" + std::to_string(aid) + " ret=" + std::to_string(ret));
    return 0;
}

int on_prov_cfm(int lcl, eDMERetCd ret)
{
    out_line("PCFM lcl=" + std::to_string(lcl) + " ret=" + std::to_string(ret));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    tV2XSDKCfg cfg;
    memset(&cfg, 0, sizeof(cfg));
    snprintf(cfg.rcvIp, sizeof(cfg.rcvIp), "127.0.0.1");
    snprintf(cfg.sendIp, sizeof(cfg.sendIp), "127.0.0.1");
    const uint8_t mac[6] = {0x02, 0, 0, 0, 0, 1};
    memcpy(cfg.macAddr, mac, 6);
    std::vector<uint32_t> aids;
    std::string goFile, stopFile;
    int burstN = 0, burstLen = 0, runMs = 0, untilInds = 0;
    uint32_t burstAid = 0;
    int provLcl = -1, provAid = 0, provRate = 0;
    bool exitTwice = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : "";
        if (a == "--dmn") {
            snprintf(cfg.dmnNme, sizeof(cfg.dmnNme), "%s", v);
            ++i;
        } else if (a == "--rcv") {
            cfg.rcvPort = static_cast<uint16_t>(atoi(v));
            ++i;
        } else if (a == "--send") {
            cfg.sendPort = static_cast<uint16_t>(atoi(v));
            ++i;
        } else if (a == "--register") {
            aids.push_back(static_cast<uint32_t>(atoi(v)));
            ++i;
        } else if (a == "--go-file") {
            goFile = v;
            ++i;
        } else if (a == "--stop-file") {
            stopFile = v;
            ++i;
        } else if (a == "--burst") {
            sscanf(v, "%d,%u,%d", &burstN, &burstAid, &burstLen);
            ++i;
        } else if (a == "--provider") {
            sscanf(v, "%d,%d,%d", &provLcl, &provAid, &provRate);
            ++i;
        } else if (a == "--run-ms") {
            runMs = atoi(v);
            ++i;
        } else if (a == "--until-inds") {
            untilInds = atoi(v);
            ++i;
        } else if (a == "--exit-twice") {
            exitTwice = true;
        } else {
            fprintf(stderr, "station: unknown option %s\n", a.c_str());
            return 2;
        }
    }

    if (cv2x_app_init(&cfg) != 0) {
        out_line("INIT failed");
        return 1;
    }
    for (size_t i = 0; i < aids.size(); ++i) {
        tDMEDSMServReq r;
        memset(&r, 0, sizeof(r));
        r.index = static_cast<uint16_t>(i);
        r.action = DME_ACTION_ADD;
        r.appId = aids[i];
        int rc = dme_dsm_serv_req(&r, on_dsm_cfm, on_ind);
        out_line("REG aid=" + std::to_string(aids[i]) + " rc=" + std::to_string(rc));
    }
    out_line("READY");
    if (!goFile.empty()) {
        while (access(goFile.c_str(), F_OK) != 0) {
            usleep(10 * 1000);  // a wait on a condition: the test's go file
        }
    }
    if (provLcl >= 0) {
        tDMEProvServReq p;
        memset(&p, 0, sizeof(p));
        p.lclAppId = static_cast<uint16_t>(provLcl);
        p.dmeAct = DME_ACTION_ADD;
        p.appId = static_cast<uint32_t>(provAid);
        p.rptRte = static_cast<uint8_t>(provRate);
        snprintf(p.dsaHdrExt, sizeof(p.dsaHdrExt), "station-dsa");
        int rc = dme_provider_serv_req(&p, on_prov_cfm);
        out_line("PROV rc=" + std::to_string(rc));
    }
    if (burstN > 0) {
        std::vector<char> buf(270 + static_cast<size_t>(burstLen));
        auto* req = reinterpret_cast<tDSMReq*>(buf.data());
        req->appId = burstAid;
        req->protTp = PROT_TP_DSMP;
        req->priority = 1;
        memset(req->peerMac, 0xFF, 6);
        const auto len = static_cast<uint16_t>(burstLen);
        memcpy(buf.data() + 268, &len, 2);
        for (int n = 0; n < burstN; ++n) {
            for (int k = 0; k < burstLen; ++k) {
                buf[270 + static_cast<size_t>(k)] = static_cast<char>(n * 31 + k);
            }
            int rc = dsm_request(req);
            if (rc != 0) {
                out_line("SEND rc=" + std::to_string(rc));
            }
        }
        out_line("SENT " + std::to_string(burstN));
    }
    for (int waited = 0; waited < runMs; waited += 10) {
        if (untilInds > 0 && gInds.load() >= untilInds) {
            break;
        }
        if (!stopFile.empty() && access(stopFile.c_str(), F_OK) == 0) {
            break;
        }
        usleep(10 * 1000);  // a wait on conditions: indications, the stop file, the time
    }
    int rc = cv2x_app_exit();
    if (exitTwice) {
        rc |= cv2x_app_exit();
    }
    out_line("DONE rc=" + std::to_string(rc));
    return rc == 0 ? 0 : 1;
}
