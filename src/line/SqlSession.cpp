#include "line/SqlSession.h"

#include <cstdlib>

namespace nvds::line {

int64_t SqlRows::Int(size_t row, size_t column) const {
    const SqlValue& value = rows[row][column];
    if (const int64_t* number = std::get_if<int64_t>(&value)) {
        return *number;
    }
    if (const double* real = std::get_if<double>(&value)) {
        return static_cast<int64_t>(*real);
    }
    if (const std::string* text = std::get_if<std::string>(&value)) {
        return std::strtoll(text->c_str(), nullptr, 10);
    }
    return 0;
}

double SqlRows::Real(size_t row, size_t column) const {
    const SqlValue& value = rows[row][column];
    if (const double* real = std::get_if<double>(&value)) {
        return *real;
    }
    if (const int64_t* number = std::get_if<int64_t>(&value)) {
        return static_cast<double>(*number);
    }
    if (const std::string* text = std::get_if<std::string>(&value)) {
        return std::strtod(text->c_str(), nullptr);
    }
    return 0;
}

std::string SqlRows::Text(size_t row, size_t column) const {
    const SqlValue& value = rows[row][column];
    if (const std::string* text = std::get_if<std::string>(&value)) {
        return *text;
    }
    if (const int64_t* number = std::get_if<int64_t>(&value)) {
        return std::to_string(*number);
    }
    if (const double* real = std::get_if<double>(&value)) {
        return std::to_string(*real);
    }
    return "";
}

}  // namespace nvds::line
