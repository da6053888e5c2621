// The heatmap and the tree as a real renderer draws them: rsvg-convert turns
// the SVG into pixels, and pixels at places whose colour is known (the cell
// of the largest value, a missing cell, the root's bar) are checked, so that
// a picture that parses but draws nothing, or draws the wrong colour in the
// wrong place, fails.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#endif
#include <stb_image.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#include "dendrogram_file.h"
#include "process.h"
#include "test_parsers.h"
#include "tree_render.h"

namespace {

const std::string kPlot = DENDRO_PLOT_PATH, kMin = DENDRO_MIN_PATH;
const std::string kRsvg = "/usr/bin/rsvg-convert";

struct Picture {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;
    const unsigned char *At(double x, double y) const {
        const int ix = static_cast<int>(x), iy = static_cast<int>(y);
        EXPECT_TRUE(ix >= 0 && iy >= 0 && ix < width && iy < height) << x << "," << y;
        return &rgb[(static_cast<std::size_t>(iy) * width + ix) * 3];
    }
};

// The picture rsvg-convert draws of `svg`, one pixel per SVG unit.
Picture Render(const std::string &svg, const TempDir &dir) {
    Picture picture;
    const ProgramResult run = RunProgram(kRsvg, {svg, "-b", "white", "-o", dir.file("out.png")});
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string png = ReadFile(dir.file("out.png"));
    int channels = 0;
    unsigned char *pixels = stbi_load_from_memory(reinterpret_cast<const unsigned char *>(png.data()),
                                                  static_cast<int>(png.size()), &picture.width, &picture.height,
                                                  &channels, 3);
    EXPECT_NE(pixels, nullptr) << "rsvg-convert wrote no PNG";
    if (pixels != nullptr) {
        picture.rgb.assign(pixels, pixels + static_cast<std::size_t>(picture.width) * picture.height * 3);
        stbi_image_free(pixels);
    }
    return picture;
}

void ExpectColour(const unsigned char *pixel, int r, int g, int b, const std::string &what) {
    EXPECT_NEAR(pixel[0], r, 3) << what;
    EXPECT_NEAR(pixel[1], g, 3) << what;
    EXPECT_NEAR(pixel[2], b, 3) << what;
}

double Number(const XmlElement &element, const std::string &attribute) {
    const auto found = element.attributes.find(attribute);
    EXPECT_NE(found, element.attributes.end()) << attribute;
    return found == element.attributes.end() ? NAN : std::strtod(found->second.c_str(), nullptr);
}

// The bar of a merge path "M x y V level H x2 V y2" (or across: "M x y H
// level V y2 H x2"): its middle point.
void BarMiddle(const std::string &d, bool across, double &x, double &y) {
    double x1, y1, level, other, last;
    char a, b, c;
    ASSERT_EQ(std::sscanf(d.c_str(), "M %lf %lf %c %lf %c %lf %c %lf", &x1, &y1, &a, &level, &b, &other, &c, &last), 8)
        << d;
    if (across) {
        x = level;
        y = (y1 + other) / 2;
    } else {
        x = (x1 + other) / 2;
        y = level;
    }
}

// The darkest pixel within two of (x, y) across the bar: the bar's ink.
void ExpectInk(const Picture &picture, double x, double y, bool across, const std::string &what) {
    int darkest = 765;
    for (int step = -2; step <= 2; ++step) {
        const unsigned char *p = across ? picture.At(x + step, y) : picture.At(x, y + step);
        darkest = std::min(darkest, p[0] + p[1] + p[2]);
    }
    EXPECT_LT(darkest, 600) << what << ": no line drawn at " << x << "," << y;
}

bool RendererPresent() {
    if (RunProgram("/bin/sh", {"-c", "command -v " + kRsvg + " >/dev/null"}).status == 0) return true;
    const char *required = std::getenv("DENDRO_REQUIRE_CONSUMERS");
    if (required != nullptr && std::string(required) == "1") ADD_FAILURE() << "rsvg-convert is not installed";
    return false;
}

// A table of `lines` x `columns` with a header and labels; the largest
// value at (bigLine, bigColumn), NA at (gapLine, gapColumn).
std::string Table(std::size_t lines, std::size_t columns, std::size_t bigLine, std::size_t bigColumn,
                  std::size_t gapLine, std::size_t gapColumn, bool negative) {
    std::mt19937 random(9);
    std::uniform_real_distribution<double> cell(negative ? -3.0 : 1.0, 3.0);
    std::string text = "id";
    for (std::size_t c = 0; c < columns; ++c) text += "\ts" + std::to_string(c);
    text += "\n";
    for (std::size_t l = 0; l < lines; ++l) {
        text += "g" + std::to_string(l);
        for (std::size_t c = 0; c < columns; ++c) {
            char value[32];
            std::snprintf(value, sizeof value, "%.3f", cell(random) + (c % 3 == 0 ? 0.5 : 0.0));
            text += "\t";
            text += l == bigLine && c == bigColumn ? "9" : l == gapLine && c == gapColumn ? "NA" : value;
        }
        text += "\n";
    }
    return text;
}

// Clusters the table's columns and lines with dendro-min (the lines through
// a copy turned over; missing cells as 0 there).
void Trees(const TempDir &dir, const std::string &table, std::size_t lines, std::size_t columns) {
    std::vector<std::vector<std::string>> cells;
    std::string numbers, turned;
    std::size_t start = table.find('\n') + 1;
    for (std::size_t l = 0; l < lines; ++l) {
        const std::size_t end = table.find('\n', start);
        std::string row = table.substr(start, end - start);
        start = end + 1;
        row = row.substr(row.find('\t') + 1);
        for (std::size_t at; (at = row.find("NA")) != std::string::npos;) row.replace(at, 2, "0");
        numbers += row + "\n";
        std::vector<std::string> fields;
        for (std::size_t from = 0;;) {
            const std::size_t tab = row.find('\t', from);
            fields.push_back(row.substr(from, tab == std::string::npos ? std::string::npos : tab - from));
            if (tab == std::string::npos) break;
            from = tab + 1;
        }
        cells.push_back(fields);
    }
    for (std::size_t c = 0; c < columns; ++c) {
        for (std::size_t l = 0; l < lines; ++l) turned += (l ? "\t" : "") + cells[l][c];
        turned += "\n";
    }
    WriteFile(dir.file("numbers.txt"), numbers);
    WriteFile(dir.file("turned.txt"), turned);
    ASSERT_EQ(RunProgram(kMin, {dir.file("numbers.txt"), dir.file("columns.dendro")}).status, 0);
    ASSERT_EQ(RunProgram(kMin, {dir.file("turned.txt"), dir.file("lines.dendro")}).status, 0);
}

Dendrogram ReadTree(const std::string &path) {
    const DendrogramParse parsed = ParseDendrogram(ReadFile(path));
    EXPECT_TRUE(parsed.ok()) << parsed.error;
    return parsed.tree;
}

// The centre of cell (line, column) of an image of the cells in drawn order.
void CellCentre(const XmlElement &image, const std::vector<std::size_t> &lineOrder,
                const std::vector<std::size_t> &columnOrder, std::size_t line, std::size_t column, double &x, double &y) {
    const double w = Number(image, "width") / columnOrder.size(), h = Number(image, "height") / lineOrder.size();
    const std::size_t px = std::find(columnOrder.begin(), columnOrder.end(), column) - columnOrder.begin();
    const std::size_t py = std::find(lineOrder.begin(), lineOrder.end(), line) - lineOrder.begin();
    x = Number(image, "x") + (px + 0.5) * w;
    y = Number(image, "y") + (py + 0.5) * h;
}

struct HeatmapCase {
    const char *what;
    std::size_t lines, columns;
    bool negative;  // values of both signs: the diverging scale, largest in red
    std::vector<std::string> extra;
};

TEST(TreeHeatmap, RenderedPixelsWhereTheirColoursAreKnown) {
    if (!RendererPresent()) GTEST_SKIP() << "rsvg-convert is not installed";
    const std::vector<HeatmapCase> cases = {
        {"cells as elements, sequential", 7, 5, false, {}},
        {"cells as elements, diverging, optimal order", 9, 6, true, {"--order", "optimal"}},
        {"cells as one image", 90, 60, true, {}},
        {"cells as one image, scaled by line", 70, 80, false, {"--scale", "row", "--order", "optimal"}},
    };
    for (const HeatmapCase &c : cases) {
        TempDir dir;
        const std::size_t bigLine = c.lines / 2, bigColumn = c.columns - 2, gapLine = 1, gapColumn = 0;
        const std::string table = Table(c.lines, c.columns, bigLine, bigColumn, gapLine, gapColumn, c.negative);
        WriteFile(dir.file("t.txt"), table);
        Trees(dir, table, c.lines, c.columns);
        std::vector<std::string> args = {dir.file("columns.dendro"), dir.file("h.svg"), "--heatmap", dir.file("t.txt"),
                                         "--row-tree", dir.file("lines.dendro")};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const ProgramResult run = RunProgram(kPlot, args);
        ASSERT_EQ(run.status, 0) << c.what << ": " << run.err;
        const std::string svg = ReadFile(dir.file("h.svg"));
        const XmlElement root = ParseXml(svg);
        const Picture picture = Render(dir.file("h.svg"), dir);

        // The trees as drawn (flipped by --order optimal) give the cells' places.
        double x, y;
        const auto cells = root.WithClass("cell");
        const auto images = root.WithClass("cells");
        const bool asImage = c.lines * c.columns > 4000;
        if (asImage) {
            ASSERT_EQ(cells.size(), 0u) << c.what;
            const XmlElement *image = nullptr;
            for (const XmlElement *e : images)
                if (e->name == "image") image = e;
            ASSERT_NE(image, nullptr) << c.what;
            // Leaf orders as drawn: from the leaves' positions in the trees' paths
            // we cannot tell, so the picture is held to the cells of the
            // order the tree file gives when it was not reordered.
            if (c.extra.empty()) {
                const std::vector<std::size_t> columns = DrawnLeafOrder(ReadTree(dir.file("columns.dendro")));
                const std::vector<std::size_t> lines = DrawnLeafOrder(ReadTree(dir.file("lines.dendro")));
                CellCentre(*image, lines, columns, bigLine, bigColumn, x, y);
                ExpectColour(picture.At(x, y), 178, 24, 43, std::string(c.what) + ": largest cell");
                CellCentre(*image, lines, columns, gapLine, gapColumn, x, y);
                ExpectColour(picture.At(x, y), 0x9a, 0x9a, 0x9a, std::string(c.what) + ": missing cell");
            }
        } else {
            ASSERT_EQ(cells.size(), c.lines * c.columns) << c.what;
            for (const XmlElement *cell : cells) {
                const auto line = static_cast<std::size_t>(Number(*cell, "data-line"));
                const auto column = static_cast<std::size_t>(Number(*cell, "data-column"));
                x = Number(*cell, "x") + Number(*cell, "width") / 2;
                y = Number(*cell, "y") + Number(*cell, "height") / 2;
                if (line == bigLine && column == bigColumn) {
                    if (c.negative)
                        ExpectColour(picture.At(x, y), 178, 24, 43, std::string(c.what) + ": largest cell");
                    else
                        ExpectColour(picture.At(x, y), 37, 52, 148, std::string(c.what) + ": largest cell");
                } else if (line == gapLine && column == gapColumn) {
                    ExpectColour(picture.At(x, y), 0x9a, 0x9a, 0x9a, std::string(c.what) + ": missing cell");
                } else {
                    const unsigned char *p = picture.At(x, y);
                    EXPECT_FALSE(p[0] == 0x9a && p[1] == 0x9a && p[2] == 0x9a) << c.what << ": a present cell in grey";
                }
            }
        }
        // Each tree's root bar is drawn.
        for (const char *tree : {"column-tree", "line-tree"}) {
            const auto groups = root.WithClass(tree);
            ASSERT_EQ(groups.size(), 1u) << c.what << " " << tree;
            const XmlElement &rootPath = groups[0]->children.back();
            const bool across = std::string(tree) == "line-tree";
            BarMiddle(rootPath.attributes.at("d"), across, x, y);
            ExpectInk(picture, x, y, across, std::string(c.what) + " " + tree);
        }
    }
}

TEST(TreeHeatmap, TheTreePictureDrawsItsRootAndLeaves) {
    if (!RendererPresent()) GTEST_SKIP() << "rsvg-convert is not installed";
    TempDir dir;
    WriteFile(dir.file("t.dendro"), "NODE0\tLEAF1\tLEAF0\t1\nNODE1\tLEAF3\tLEAF2\t2\nNODE2\tNODE1\tNODE0\t4\n");
    for (const bool across : {false, true}) {
        std::vector<std::string> args = {dir.file("t.dendro"), dir.file("t.svg")};
        if (across) args.push_back("--horizontal");
        ASSERT_EQ(RunProgram(kPlot, args).status, 0);
        const XmlElement root = ParseXml(ReadFile(dir.file("t.svg")));
        const Picture picture = Render(dir.file("t.svg"), dir);
        double x, y;
        for (const XmlElement *merge : root.WithClass("merge")) {
            BarMiddle(merge->attributes.at("d"), across, x, y);
            ExpectInk(picture, x, y, across, "merge " + merge->attributes.at("data-node"));
        }
        // Between the bars, the background.
        const auto merges = root.WithClass("merge");
        BarMiddle(merges.back()->attributes.at("d"), across, x, y);
        const unsigned char *p = across ? picture.At(x - 20, y) : picture.At(x, y + 20);
        ExpectColour(p, 255, 255, 255, "below the root, between its parts");
    }
}

TEST(TreeHeatmap, BadInputEndsWithAReasonAndWritesNothing) {
    TempDir dir;
    WriteFile(dir.file("t.txt"), "a b c\n1 2 3\n4 5 6\n");
    WriteFile(dir.file("three.dendro"), "NODE0\tLEAF1\tLEAF0\t1\nNODE1\tLEAF2\tNODE0\t2\n");
    WriteFile(dir.file("two.dendro"), "NODE0\tLEAF1\tLEAF0\t1\n");
    WriteFile(dir.file("ragged.txt"), "1 2 3\n4 5\n");
    const std::string svg = dir.file("h.svg");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{dir.file("two.dendro"), svg, "--heatmap", dir.file("t.txt")}, "the table has 3 columns, the tree 2 leaves"},
        {{dir.file("three.dendro"), svg, "--heatmap", dir.file("t.txt"), "--row-tree", dir.file("three.dendro")},
         "the tree has 3 leaves, the table"},
        {{dir.file("three.dendro"), svg, "--heatmap", dir.file("ragged.txt")}, "ragged.txt"},
        {{dir.file("three.dendro"), svg, "--heatmap", dir.file("t.txt"), "--scale", "log"}, "unknown scale 'log'"},
        {{dir.file("three.dendro"), svg, "--heatmap", dir.file("t.txt"), "--table", dir.file("t.txt")},
         "gives the distances"},
        {{dir.file("three.dendro"), svg, "--row-tree", dir.file("two.dendro")}, "serve --heatmap"},
        {{dir.file("three.dendro"), dir.file("t.txt"), "--heatmap", dir.file("t.txt")}, "end in .svg"},
    };
    for (const auto &[args, reason] : cases) {
        const ProgramResult result = RunProgram(kPlot, args);
        EXPECT_EQ(result.status, 1) << reason;
        EXPECT_NE(result.err.find(reason), std::string::npos) << "wanted '" << reason << "', got: " << result.err;
        EXPECT_FALSE(FileExists(svg)) << reason;
    }
}

}  // namespace
