#pragma once

#include <cstddef>
#include <vector>

// A matrix of samples, stored row by row. What rows and columns mean is the caller's: a record frame has one
// row per sample and one column per channel; a filter works on one row per channel and one column per sample.
// It always owns its values, so copies can cross threads safely.
class DataBlock {
public:
    DataBlock() = default;
    DataBlock(std::size_t rows, std::size_t cols, double fill = 0.0) : rows_(rows), cols_(cols), values_(rows * cols, fill) {}
    // Copies rows x cols values laid out row by row starting at `data`.
    DataBlock(const double* data, std::size_t rows, std::size_t cols)
        : rows_(rows), cols_(cols), values_(data, data + rows * cols) {}

    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }
    bool empty() const { return values_.empty(); }

    double value(std::size_t row, std::size_t col) const { return values_[row * cols_ + col]; }
    double& at(std::size_t row, std::size_t col) { return values_[row * cols_ + col]; }
    void setValue(std::size_t row, std::size_t col, double v) { values_[row * cols_ + col] = v; }

    const double* data() const { return values_.data(); }
    double* data() { return values_.data(); }
    const double* row(std::size_t r) const { return values_.data() + r * cols_; }
    double* row(std::size_t r) { return values_.data() + r * cols_; }

    void resize(std::size_t rows, std::size_t cols, double fill = 0.0) {
        rows_ = rows;
        cols_ = cols;
        values_.assign(rows * cols, fill);
    }
    void assign(const double* data, std::size_t rows, std::size_t cols) {
        rows_ = rows;
        cols_ = cols;
        values_.assign(data, data + rows * cols);
    }

    bool operator==(const DataBlock& o) const { return rows_ == o.rows_ && cols_ == o.cols_ && values_ == o.values_; }

private:
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::vector<double> values_;
};
