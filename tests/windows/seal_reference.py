#!/usr/bin/env python3
"""A second, deliberately plain implementation of the library's keystream cipher, written
apart from src/crypto to derive the known-answer bytes that the Windows tests hold
(documents_test.cpp). Slow (one keystream block per counter value, no caching) and only
meant for that. Run it to print the vectors.
"""
M = 0xFFFFFFFF
def rotl(x, k): return ((x << k) | (x >> (32 - k))) & M
def rotr(x, k): return ((x >> k) | (x << (32 - k))) & M

def G(key, i):
    H = [int.from_bytes(key[4*j:4*j+4], 'big') for j in range(5)]
    W = [i & M] + [0]*15
    for t in range(16, 80):
        W.append(W[t-3] ^ W[t-8] ^ W[t-14] ^ W[t-16])
    a, b, c, d, e = H
    for t in range(80):
        if t < 20: f = (b & c) | (~b & d); k = 0x5A827999
        elif t < 40: f = b ^ c ^ d; k = 0x6ED9EBA1
        elif t < 60: f = (b & c) | (b & d) | (c & d); k = 0x8F1BBCDC
        else: f = b ^ c ^ d; k = 0xCA62C1D6
        tmp = (rotl(a, 5) + (f & M) + e + W[t] + k) & M
        e, d, c, b, a = d, c, rotl(b, 30), a, tmp
    return [(H[0]+a)&M, (H[1]+b)&M, (H[2]+c)&M, (H[3]+d)&M, (H[4]+e)&M]

def tables(key):
    cache = {}
    def gamma(m):
        q = m // 5
        if q not in cache: cache[q] = G(key, q)
        return cache[q][m % 5]
    T = [gamma(j) for j in range(512)]
    S = [gamma(4096 + j) for j in range(256)]
    R = [gamma(8192 + j) for j in range(16)]
    return T, S, R

def generate(tabs, n):
    T, S, R = tabs
    a = n ^ R[12]; b = rotr(n, 8) ^ R[13]; c = rotr(n, 16) ^ R[14]; d = rotr(n, 24) ^ R[15]
    Y = [0]*512
    def mix(a, b, c, d):
        P = a & 0x7FC; b = (b + T[P//4]) & M; a = rotr(a, 9)
        P = b & 0x7FC; c = (c + T[P//4]) & M; b = rotr(b, 9)
        P = c & 0x7FC; d = (d + T[P//4]) & M; c = rotr(c, 9)
        P = d & 0x7FC; a = (a + T[P//4]) & M; d = rotr(d, 9)
        return a, b, c, d
    for h in range(2):
        a, b, c, d = mix(a, b, c, d)
        N1, N2, N3, N4 = d, b, a, c
        a, b, c, d = mix(a, b, c, d)
        for i in range(64):
            P = a & 0x7FC; b = (b + T[P//4]) & M; a = rotr(a, 9); b ^= a
            Q = b & 0x7FC; c ^= T[Q//4]; b = rotr(b, 9); c = (c + b) & M
            P = (P + c) & 0x7FC; d = (d + T[P//4]) & M; c = rotr(c, 9); d ^= c
            Q = (Q + d) & 0x7FC; a ^= T[Q//4]; d = rotr(d, 9); a = (a + d) & M
            P = (P + a) & 0x7FC; b ^= T[P//4]; a = rotr(a, 9)
            Q = (Q + b) & 0x7FC; c = (c + T[Q//4]) & M; b = rotr(b, 9)
            P = (P + c) & 0x7FC; d ^= T[P//4]; c = rotr(c, 9)
            Q = (Q + d) & 0x7FC; a = (a + T[Q//4]) & M; d = rotr(d, 9)
            Y[256*h + 4*i] = (b + S[4*i]) & M
            Y[256*h + 4*i + 1] = c ^ S[4*i + 1]
            Y[256*h + 4*i + 2] = (d + S[4*i + 2]) & M
            Y[256*h + 4*i + 3] = a ^ S[4*i + 3]
            if i % 2 == 0: a = (a + N1) & M; c = (c + N2) & M
            else: a = (a + N3) & M; c = (c + N4) & M
    return Y

def keystream(key, offset, length):
    tabs = tables(key); out = []; blocks = {}
    for x in range(offset, offset + length):
        n = (x >> 9) & M
        if n not in blocks: blocks[n] = generate(tabs, n)
        w = blocks[n][x & 0x1FF]
        out.append((w ^ (w >> 8) ^ (w >> 16) ^ (w >> 24)) & 0xFF)
    return bytes(out)

if __name__ == '__main__':
    import hashlib
    doc = bytes([0x5C]*20)
    pol = bytes([0x21,0x22,0x23,0x24,0x25]*4)
    ks = keystream(doc, 4113, 600)
    print('doc 4113+0..31 ', ks[:32].hex())
    print('doc 4113+479..510', ks[479:511].hex())
    print('doc md5 600', hashlib.md5(ks).hexdigest())
    print('pol 0..31', keystream(pol, 0, 32).hex())
