#include "SpeedPlot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace cli {

namespace {

constexpr double kWidth = 900, kHeight = 440;
constexpr double kLeft = 72, kRight = 24, kTop = 64, kBottom = 64;
constexpr double kPlotWidth = kWidth - kLeft - kRight, kPlotHeight = kHeight - kTop - kBottom;
// Enough points for a smooth line, few enough that one slow command shows.
constexpr uint32_t kMaxBins = 300;
// Beyond this many, bad sectors are drawn as the ranges they form.
constexpr size_t kMaxMarks = 2000;
constexpr const char *kWriteColour = "#d95f02", *kReadColour = "#1b9e77", *kBadColour = "#d62728";

std::string escaped(const std::string &text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string num(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f", v);
    return b;
}

// A round step that cuts range into about `ticks` pieces.
double niceStep(double range, int ticks) {
    if (range <= 0) return 1;
    const double raw = range / ticks, magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    const double n = raw / magnitude;
    return (n < 1.5 ? 1 : n < 3 ? 2 : n < 7 ? 5 : 10) * magnitude;
}

std::string tickText(double v) {
    char b[32];
    std::snprintf(b, sizeof b, v == std::floor(v) ? "%.0f" : "%g", v);
    return b;
}

// Speed in MB/s of each stretch of the disk, from the commands of one pass;
// negative where no command of the pass began.
std::vector<double> binSpeeds(const PassResult &pass, uint32_t sectors, uint32_t bins) {
    std::vector<double> moved(bins, 0), seconds(bins, 0), speed(bins, -1);
    for (const TimedCommand &c : pass.commands) {
        const uint32_t bin = uint32_t(uint64_t(c.first) * bins / sectors);
        moved[bin] += c.count;
        seconds[bin] += c.seconds;
    }
    for (uint32_t i = 0; i < bins; ++i)
        if (seconds[i] > 0) speed[i] = moved[i] * 512 / 1e6 / seconds[i];
    return speed;
}

class Svg {
public:
    void line(double x1, double y1, double x2, double y2, const char *colour, double width, const char *extra = "") {
        out_ += "<line x1=\"" + num(x1) + "\" y1=\"" + num(y1) + "\" x2=\"" + num(x2) + "\" y2=\"" + num(y2) +
                "\" stroke=\"" + colour + "\" stroke-width=\"" + num(width) + "\"" + extra + "/>\n";
    }
    void text(double x, double y, const std::string &t, const char *anchor = "start", int size = 12,
              const char *extra = "") {
        out_ += "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\" font-size=\"" + std::to_string(size) +
                "\" text-anchor=\"" + anchor + "\"" + extra + ">" + escaped(t) + "</text>\n";
    }
    void rect(double x, double y, double w, double h, const char *fill, const char *extra = "") {
        out_ += "<rect x=\"" + num(x) + "\" y=\"" + num(y) + "\" width=\"" + num(w) + "\" height=\"" + num(h) +
                "\" fill=\"" + fill + "\"" + extra + "/>\n";
    }
    void raw(const std::string &s) { out_ += s; }
    std::string done() { return std::move(out_); }

private:
    std::string out_;
};

} // namespace

std::string speedPlotSvg(const CheckResult &r, const std::string &title) {
    Svg svg;
    svg.raw("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
            num(kWidth) + "\" height=\"" + num(kHeight) + "\" viewBox=\"0 0 " + num(kWidth) + " " + num(kHeight) +
            "\" font-family=\"sans-serif\">\n");
    svg.rect(0, 0, kWidth, kHeight, "white");
    svg.text(kWidth / 2, 26, title, "middle", 15, " font-weight=\"bold\"");

    const uint32_t sectors = std::max<uint32_t>(r.sectors, 1);
    const uint32_t bins = std::min<uint32_t>(kMaxBins, sectors);
    std::vector<double> write = r.write.ran ? binSpeeds(r.write, sectors, bins) : std::vector<double>();
    std::vector<double> read = r.read.ran ? binSpeeds(r.read, sectors, bins) : std::vector<double>();
    double top = 0;
    for (const auto *speeds : {&write, &read})
        for (double s : *speeds) top = std::max(top, s);
    const double yStep = niceStep(top > 0 ? top * 1.1 : 1, 5);
    const double yMax = std::ceil((top > 0 ? top * 1.1 : 1) / yStep) * yStep;

    // Positions in MB, or GB on a disk of 2 GB and more.
    const double megabytes = double(sectors) * 512 / 1e6;
    const bool gigabytes = megabytes >= 2000;
    const double unit = gigabytes ? 1000 : 1, xMax = megabytes / unit;
    auto x = [&](double sector) { return kLeft + sector / sectors * kPlotWidth; };
    auto y = [&](double speed) { return kTop + kPlotHeight - speed / yMax * kPlotHeight; };

    // Beyond the real capacity the disk has no flash of its own.
    if (r.realSectors) {
        const double at = x(*r.realSectors);
        svg.rect(at, kTop, kLeft + kPlotWidth - at, kPlotHeight, "#e8e8e8");
        svg.line(at, kTop, at, kTop + kPlotHeight, "black", 1.5, " stroke-dasharray=\"6,4\"");
        svg.text(at + 6, kTop + 16,
                 "real capacity: " + std::to_string(*r.realSectors) + " sectors (" +
                     tickText(std::round(double(*r.realSectors) * 512 / 1e6)) + " MB)");
        svg.text(at + 6, kTop + 32, "addresses past it land on flash already used", "start", 11, " fill=\"#555\"");
    }

    // Axes, grid and ticks.
    for (double v = 0; v <= yMax + yStep / 2; v += yStep) {
        svg.line(kLeft, y(v), kLeft + kPlotWidth, y(v), "#dddddd", 1);
        svg.text(kLeft - 8, y(v) + 4, tickText(v), "end", 11);
    }
    const double xStep = niceStep(xMax, 8);
    for (double v = 0; v <= xMax + xStep / 1000; v += xStep) {
        const double at = kLeft + v / xMax * kPlotWidth;
        svg.line(at, kTop + kPlotHeight, at, kTop + kPlotHeight + 5, "black", 1);
        svg.text(at, kTop + kPlotHeight + 19, tickText(v), "middle", 11);
    }
    svg.line(kLeft, kTop, kLeft, kTop + kPlotHeight, "black", 1);
    svg.line(kLeft, kTop + kPlotHeight, kLeft + kPlotWidth, kTop + kPlotHeight, "black", 1);
    svg.text(kLeft + kPlotWidth / 2, kHeight - 18,
             std::string("position on the disk (") + (gigabytes ? "GB" : "MB") + ", 1 MB = 10^6 bytes)", "middle");
    svg.text(18, kTop + kPlotHeight / 2, "speed (MB/s)", "middle", 12,
             (" transform=\"rotate(-90 18 " + num(kTop + kPlotHeight / 2) + ")\"").c_str());

    // One polyline per unbroken run of bins, at the middle of each bin.
    auto curve = [&](const std::vector<double> &speeds, const char *colour) {
        std::string points;
        auto flush = [&] {
            if (!points.empty())
                svg.raw("<polyline fill=\"none\" stroke=\"" + std::string(colour) +
                        "\" stroke-width=\"1.8\" points=\"" + points + "\"/>\n");
            points.clear();
        };
        for (uint32_t i = 0; i < speeds.size(); ++i) {
            if (speeds[i] < 0) {
                flush();
                continue;
            }
            const double middle = (double(i) + 0.5) * sectors / bins;
            points += (points.empty() ? "" : " ") + num(x(middle)) + "," + num(y(speeds[i]));
        }
        flush();
    };
    curve(write, kWriteColour);
    curve(read, kReadColour);

    // Bad sectors: a faint red band through the plot and a solid mark under
    // the curves at each, at least a pixel and a half wide so one sector shows.
    for (size_t i = 0; i < r.bad.size() && i < kMaxMarks; ++i) {
        const FlawRange &f = r.bad[i];
        const double from = x(f.first), width = std::max(1.5, x(double(f.first) + f.count) - from);
        svg.rect(from, kTop, width, kPlotHeight, kBadColour, " fill-opacity=\"0.25\"");
        svg.rect(from, kTop + kPlotHeight - 14, width, 14, kBadColour);
    }

    // The legend.
    double lx = kLeft + 8, ly = kTop - 14;
    auto entry = [&](const char *colour, const std::string &label, bool bar) {
        if (bar)
            svg.rect(lx, ly - 9, 4, 10, colour);
        else
            svg.line(lx, ly - 4, lx + 22, ly - 4, colour, 2.5);
        svg.text(lx + (bar ? 10 : 28), ly, label);
        lx += 44 + double(label.size()) * 6.2;
    };
    if (r.write.ran) entry(kWriteColour, "write " + num(r.write.megabytesPerSecond()) + " MB/s", false);
    if (r.read.ran) entry(kReadColour, "read " + num(r.read.megabytesPerSecond()) + " MB/s", false);
    entry(kBadColour, std::to_string(r.badCount()) + " bad sector" + (r.badCount() == 1 ? "" : "s"), true);

    svg.raw("</svg>\n");
    return svg.done();
}

} // namespace cli
