// Small helpers for the benchmark programs: a sink that keeps quiet and order statistics.
#pragma once

#include "messagesink.h"

#include <QList>
#include <algorithm>
#include <cstdio>

class QuietSink : public MessageSink {
public:
    void showFailure(const QString &message) override
    {
        std::fprintf(stderr, "failure: %s\n", qPrintable(message));
        failed = true;
    }
    void showAnswer(const QString &) override { ++answers; }
    void showNotice(const QString &text) override { std::fprintf(stderr, "notice: %s\n", qPrintable(text)); }
    void showWarning(const QString &text) override
    {
        std::fprintf(stderr, "warning: %s\n", qPrintable(text));
    }
    void end(int) override {}
    bool failed = false;
    int answers = 0;
};

// The q-quantile (0.5: median) of the samples, which it sorts.
inline double quantile(QList<double> &samples, double q)
{
    std::sort(samples.begin(), samples.end());
    if (samples.isEmpty())
        return 0;
    return samples.at(std::min<qsizetype>(samples.size() - 1, qsizetype(q * double(samples.size()))));
}

inline void printFigures(const char *what, QList<double> samples, const char *unit)
{
    const qsizetype n = samples.size();
    const double median = quantile(samples, 0.5);
    std::printf("%-44s n=%-5lld median %8.3f %s   p90 %8.3f %s   max %8.3f %s\n", what,
                static_cast<long long>(n), median, unit, quantile(samples, 0.9), unit,
                samples.isEmpty() ? 0.0 : samples.last(), unit);
}
