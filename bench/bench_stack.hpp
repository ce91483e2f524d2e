// SPDX-License-Identifier: Apache-2.0
// The station under test as the benchmarks start it (defined in
// v2x_bench.cpp), for the benchmarks in other files.
#ifndef V2X_BENCH_STACK_HPP
#define V2X_BENCH_STACK_HPP

#include <netinet/in.h>
#include <semaphore.h>
#include <stdint.h>

#include <atomic>
#include <vector>

#include "cv2x_app.h"

namespace bench {

uint64_t now_ns();
uint64_t real_ns();

// What the receivers report to: a count, and the latency of each frame
// taken from the send time the frame carries.
struct Sink {
    std::atomic<long> got{0};
    std::vector<uint32_t> latUs;
    std::atomic<bool> recordLat{false};
    sem_t* each = nullptr;
};
extern Sink gSink;

// A UDP socket on 127.0.0.1 (kernel-chosen port in *aopPort; exits on
// failure), and the address of a loopback port.
int udp_socket(uint16_t* aopPort);
struct sockaddr_in loopback(uint16_t aicPort);

struct Stack {
    tV2XSDKCfg cfg;
    int radioFd = -1;  // plays the radio module: where the core sends
    uint16_t rcvPort = 0;
};
// The application runtime and its core, AID 32 registered with the
// callback that counts into gSink.
// aicRxInfo: the application asks for receive records and registers with
// the callback that takes them.
Stack start_stack(bool aicRxInfo = false);
int stop_stack(Stack& s);
// A DSM request for dsm_request(): broadcast, DSMP, priority 0, aicLen
// data bytes of zeros.
std::vector<char> dsm_req_buf(uint32_t aicAid, uint16_t aicLen);

}  // namespace bench

#endif
