#pragma once

// Throw-away RSA keys and certificates of the synthetic SAT units (see
// test_keys.cpp: published on purpose, for tests, benchmarks and demos only).

#include <array>
#include <cstddef>

namespace kqz::summary::synth {

inline constexpr std::size_t kTestKeyCount = 4;

struct TestKeyPem {
    const char* private_key;  // PKCS#8 PEM
    const char* certificate;  // X.509 PEM, self-signed
};

// The pair of a unit; the index is taken modulo kTestKeyCount.
const TestKeyPem& TestKey(std::size_t index);

}  // namespace kqz::summary::synth
