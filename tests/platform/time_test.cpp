// Time conversions: exact calendar fields with the day of the week, limits on both sides.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/platform.h"

namespace {

FILETIME FromTicks(uint64_t ticks) {
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

uint64_t TicksOf(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

void ExpectFields(const SYSTEMTIME& t, int year, int month, int dayOfWeek, int day, int hour,
                  int minute, int second, int ms) {
    EXPECT_EQ(t.wYear, year);
    EXPECT_EQ(t.wMonth, month);
    EXPECT_EQ(t.wDayOfWeek, dayOfWeek);
    EXPECT_EQ(t.wDay, day);
    EXPECT_EQ(t.wHour, hour);
    EXPECT_EQ(t.wMinute, minute);
    EXPECT_EQ(t.wSecond, second);
    EXPECT_EQ(t.wMilliseconds, ms);
}

TEST(HostTime, FileTimeToSystemTimeAtTheEdgesAndALeapDay) {
    SYSTEMTIME t{};
    FILETIME zero = FromTicks(0);
    ASSERT_TRUE(FileTimeToSystemTime(&zero, &t));
    ExpectFields(t, 1601, 1, 1, 1, 0, 0, 0, 0);  // a Monday

    // 2024-02-29 12:34:56.789 UTC (a Thursday) = Unix 1709210096.
    uint64_t leap = (1709210096ULL + 11644473600ULL) * 10000000ULL + 7890000ULL;
    FILETIME leapDay = FromTicks(leap);
    ASSERT_TRUE(FileTimeToSystemTime(&leapDay, &t));
    ExpectFields(t, 2024, 2, 4, 29, 12, 34, 56, 789);
    FILETIME back{};
    ASSERT_TRUE(SystemTimeToFileTime(&t, &back));
    EXPECT_EQ(TicksOf(back), leap - leap % 10000);

    FILETIME last = FromTicks(0x7FFFFFFFFFFFFFFFULL);
    ASSERT_TRUE(FileTimeToSystemTime(&last, &t));
    ExpectFields(t, 30828, 9, 4, 14, 2, 48, 5, 477);
    FILETIME over = FromTicks(0x8000000000000000ULL);
    EXPECT_FALSE(FileTimeToSystemTime(&over, &t));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    FILETIME all = FromTicks(~0ULL);
    EXPECT_FALSE(FileTimeToSystemTime(&all, &t));
}

TEST(HostTime, SystemTimeToFileTimeChecksEveryField) {
    SYSTEMTIME t{1601, 1, 0, 1, 0, 0, 0, 0};
    FILETIME out{};
    ASSERT_TRUE(SystemTimeToFileTime(&t, &out));
    EXPECT_EQ(TicksOf(out), 0u);
    SYSTEMTIME bad[] = {
        {1600, 12, 0, 31, 0, 0, 0, 0}, {2023, 2, 0, 29, 0, 0, 0, 0}, {2024, 13, 0, 1, 0, 0, 0, 0},
        {2024, 4, 0, 31, 0, 0, 0, 0},  {2024, 1, 0, 0, 0, 0, 0, 0},  {2024, 1, 0, 1, 24, 0, 0, 0},
        {2024, 1, 0, 1, 0, 60, 0, 0},  {2024, 1, 0, 1, 0, 0, 60, 0}, {2024, 1, 0, 1, 0, 0, 0, 1000},
        {30828, 1, 0, 1, 0, 0, 0, 0},
    };
    for (const SYSTEMTIME& b : bad) {
        EXPECT_FALSE(SystemTimeToFileTime(&b, &out)) << b.wYear << "-" << b.wMonth << "-" << b.wDay;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    SYSTEMTIME leap{2000, 2, 0, 29, 0, 0, 0, 0};  // 2000 is a leap year, 1900 was not
    EXPECT_TRUE(SystemTimeToFileTime(&leap, &out));
    SYSTEMTIME noLeap{1900, 2, 0, 29, 0, 0, 0, 0};
    EXPECT_FALSE(SystemTimeToFileTime(&noLeap, &out));
}

TEST(HostTime, SystemTimeIsNowAndRoundTrips) {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    EXPECT_GE(now.wYear, 2024);
    FILETIME ft{};
    ASSERT_TRUE(SystemTimeToFileTime(&now, &ft));
    SYSTEMTIME again{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &again));
    ExpectFields(again, now.wYear, now.wMonth, now.wDayOfWeek, now.wDay, now.wHour, now.wMinute,
                 now.wSecond, now.wMilliseconds);
}

}  // namespace
