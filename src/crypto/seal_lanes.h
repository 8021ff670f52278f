// Keystream of several consecutive counter values side by side, one counter value per vector
// lane, with every keystream word folded to its data byte and XORed into the data while it is
// still in a register (no word buffer between generation and fold).
//
// Only for the instruction-set files (seal_lanes_*.cpp): each includes this header after its
// target pragma, so that everything here is compiled for that instruction set, and
// instantiates the kernel with its own vector operations from an unnamed namespace, so that no
// instantiation is shared between two instruction sets.
//
// A vector-operations type O provides:
//   V, kLanes                            the vector type and its number of 32-bit lanes
//   Set1(x), Counters(first)             x in every lane; first + lane index in each lane
//   Add, Xor, And                        lane-wise
//   Rotr<k>(x)                           lane-wise rotation right by k bits
//   Gather(T, offsets)                   the word of T at each lane's byte offset
//   Fold4(y0, y1, y2, y3)                per lane: byte k = XOR of the four bytes of yk
//   Store(p, v)                          unaligned store of one vector
//   XorLanes(data, pad)                  data[512 l + 4 i .. + 3] ^= word l of pad row i,
//                                        for 8 rows (i < 8) of kLanes words, every lane l
//   XorLanesStrided(data, pad, stride)   the same with rows of `stride` words (for Multi)
#pragma once

#include <cstdint>

namespace nuvex {
namespace lanes {

// K vectors of operations B side by side as one vector of K * B::kLanes lanes. Every
// operation on it is K independent operations, so K table look-ups are under way at once
// where one vector would wait for each in turn (a gather's latency, not its throughput,
// bounds a single chain of look-ups).
template <class B, int K>
struct Multi {
    struct V {
        typename B::V part[K];
    };
    static constexpr int kLanes = K * B::kLanes;

    template <class F>
    static V Each(F f) {
        V r;
        for (int k = 0; k < K; ++k) r.part[k] = f(k);
        return r;
    }
    static V Set1(uint32_t x) {
        return Each([&](int) { return B::Set1(x); });
    }
    static V Counters(uint32_t first) {
        return Each([&](int k) { return B::Counters(first + k * B::kLanes); });
    }
    static V Add(const V& x, const V& y) {
        return Each([&](int k) { return B::Add(x.part[k], y.part[k]); });
    }
    static V Xor(const V& x, const V& y) {
        return Each([&](int k) { return B::Xor(x.part[k], y.part[k]); });
    }
    static V And(const V& x, const V& y) {
        return Each([&](int k) { return B::And(x.part[k], y.part[k]); });
    }
    template <int n>
    static V Rotr(const V& x) {
        return Each([&](int k) { return B::template Rotr<n>(x.part[k]); });
    }
    static V Gather(const uint32_t* T, const V& byteOffsets) {
        return Each([&](int k) { return B::Gather(T, byteOffsets.part[k]); });
    }
    static V Fold4(const V& y0, const V& y1, const V& y2, const V& y3) {
        return Each(
            [&](int k) { return B::Fold4(y0.part[k], y1.part[k], y2.part[k], y3.part[k]); });
    }
    static void Store(uint32_t* p, const V& v) {
        for (int k = 0; k < K; ++k) B::Store(p + k * B::kLanes, v.part[k]);
    }
    static void XorLanes(uint8_t* data, const uint32_t* pad) {
        for (int k = 0; k < K; ++k)
            B::XorLanesStrided(data + 512 * B::kLanes * k, pad + B::kLanes * k, kLanes);
    }
};

// One mixing pass on a, b, c, d.
template <class O>
inline void Pass(const uint32_t* T, const typename O::V& mask, typename O::V& a,
                 typename O::V& b, typename O::V& c, typename O::V& d) {
    b = O::Add(b, O::Gather(T, O::And(a, mask)));
    a = O::template Rotr<9>(a);
    c = O::Add(c, O::Gather(T, O::And(b, mask)));
    b = O::template Rotr<9>(b);
    d = O::Add(d, O::Gather(T, O::And(c, mask)));
    c = O::template Rotr<9>(c);
    a = O::Add(a, O::Gather(T, O::And(d, mask)));
    d = O::template Rotr<9>(d);
}

// The keystream of counter values first .. first + kLanes - 1 XORed into
// data[0 .. 512 kLanes): block l covers data[512 l .. 512 l + 512). When `words` is not null
// it also receives the 512 unfolded words of the block in lane `wordsLane`.
template <class O>
inline void XorBlocks(const uint32_t* T, const uint32_t* S, const uint32_t* R, uint32_t first,
                      uint8_t* data, uint32_t* words, uint32_t wordsLane) {
    using V = typename O::V;
    constexpr int L = O::kLanes;
    const V mask = O::Set1(0x7FC);

    const V n = O::Counters(first);
    V a = O::Xor(n, O::Set1(R[12]));
    V b = O::Xor(O::template Rotr<8>(n), O::Set1(R[13]));
    V c = O::Xor(O::template Rotr<16>(n), O::Set1(R[14]));
    V d = O::Xor(O::template Rotr<24>(n), O::Set1(R[15]));

    // Folded keystream of eight steps: row i holds the four bytes of a step, lane by lane.
    uint32_t pad[8 * L];
    uint32_t row[4][L];  // the unfolded words of one step, when `words` wants them

    for (uint32_t half = 0; half < 2; ++half) {
        // The second half goes on from the words the first half left.
        Pass<O>(T, mask, a, b, c, d);
        const V n1 = d, n2 = b, n3 = a, n4 = c;
        Pass<O>(T, mask, a, b, c, d);
        for (uint32_t i = 0; i < 64; ++i) {
            V p = O::And(a, mask);
            b = O::Add(b, O::Gather(T, p));
            a = O::template Rotr<9>(a);
            b = O::Xor(b, a);
            V q = O::And(b, mask);
            c = O::Xor(c, O::Gather(T, q));
            b = O::template Rotr<9>(b);
            c = O::Add(c, b);
            p = O::And(O::Add(p, c), mask);
            d = O::Add(d, O::Gather(T, p));
            c = O::template Rotr<9>(c);
            d = O::Xor(d, c);
            q = O::And(O::Add(q, d), mask);
            a = O::Xor(a, O::Gather(T, q));
            d = O::template Rotr<9>(d);
            a = O::Add(a, d);
            p = O::And(O::Add(p, a), mask);
            b = O::Xor(b, O::Gather(T, p));
            a = O::template Rotr<9>(a);
            q = O::And(O::Add(q, b), mask);
            c = O::Add(c, O::Gather(T, q));
            b = O::template Rotr<9>(b);
            p = O::And(O::Add(p, c), mask);
            d = O::Xor(d, O::Gather(T, p));
            c = O::template Rotr<9>(c);
            q = O::And(O::Add(q, d), mask);
            a = O::Add(a, O::Gather(T, q));
            d = O::template Rotr<9>(d);

            const uint32_t* s = S + 4 * i;
            const V y0 = O::Add(b, O::Set1(s[0]));
            const V y1 = O::Xor(c, O::Set1(s[1]));
            const V y2 = O::Add(d, O::Set1(s[2]));
            const V y3 = O::Xor(a, O::Set1(s[3]));
            O::Store(pad + L * (i % 8), O::Fold4(y0, y1, y2, y3));
            if (words != nullptr) {
                O::Store(row[0], y0);
                O::Store(row[1], y1);
                O::Store(row[2], y2);
                O::Store(row[3], y3);
                uint32_t* y = words + 256 * half + 4 * i;
                for (int k = 0; k < 4; ++k) y[k] = row[k][wordsLane];
            }
            if ((i & 1) == 0) {
                a = O::Add(a, n1);
                c = O::Add(c, n2);
            } else {
                a = O::Add(a, n3);
                c = O::Add(c, n4);
            }
            if (i % 8 == 7) O::XorLanes(data + 256 * half + 4 * (i - 7), pad);
        }
    }
    // Key-derived stack memory; the empty asm that "reads" it keeps the clearing.
    for (uint32_t& w : pad) w = 0;
    for (auto& r : row)
        for (uint32_t& w : r) w = 0;
    __asm__ __volatile__("" : : "r"(pad), "r"(row) : "memory");
}

}  // namespace lanes
}  // namespace nuvex
