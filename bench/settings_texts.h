// The settings files the measurements run with, as `hestle` writes them.
#pragma once

inline constexpr const char* kLimitOff =
    R"({"chargeLimitEnabled":false,"chargeLimitPercent":80,"calibrationEnabled":false,)"
    R"("calibrationIntervalDays":30,"lastCalibrationTimestamp":0})";
inline constexpr const char* kLimitOn =
    R"({"chargeLimitEnabled":true,"chargeLimitPercent":80,"calibrationEnabled":false,)"
    R"("calibrationIntervalDays":30,"lastCalibrationTimestamp":0})";
inline constexpr const char* kCalibrating =
    R"({"chargeLimitEnabled":true,"chargeLimitPercent":80,"calibrationEnabled":true,)"
    R"("calibrationIntervalDays":30,"lastCalibrationTimestamp":0})";
// Cut short, as a reader may catch a file that a front end is writing.
inline constexpr const char* kMalformed = R"({"chargeLimitEnabled":true,"chargeLimitPercent":80,"calibrationEn)";
