// Drives the shared statistics helpers from a line-oriented script on stdin, one command
// per line, so the Python tests can reach what the module's public surface cannot (the
// condition-number rules on arbitrary designs, degenerate residual vectors, every layout).
// Numbers are printed with 17 significant digits; "none" stands for an absent value.
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "models/linear/layouts.hpp"
#include "models/linear/stat_utils.hpp"
#include "models/panel_data/entity_sums.hpp"

namespace {

using namespace kv;

double number(const std::string& s) { return std::stod(s); }

std::optional<double> maybe(const std::string& s) {
    if (s == "none") return std::nullopt;
    return number(s);
}

void print(double v) { std::printf("%.17g ", v); }

// The classes' own layouts (FE's with clustered errors, the others classical).
stats::ReportLayout layout_of(const std::string& name) {
    if (name == "OLS") return stats::ols_layout(false);
    if (name == "WLS") return stats::wls_layout;
    if (name == "GLS") return stats::gls_layout;
    if (name == "IV") return stats::iv_layout;
    if (name == "TSLS") return stats::tsls_layout;
    if (name == "FE") return stats::fe_layout(true);
    throw std::runtime_error("unknown layout " + name);
}

void run(std::istringstream& in) {
    std::string cmd;
    in >> cmd;
    if (cmd == "cond") {  // cond rows cols rs cs count values...
        std::size_t rows, cols, count;
        std::ptrdiff_t rs, cs;
        in >> rows >> cols >> rs >> cs >> count;
        std::vector<double> buf(count);
        for (auto& v : buf) {
            std::string s;
            in >> s;
            v = number(s);
        }
        print(stats::scaled_condition_number(MatView{buf.data(), rows, cols, rs, cs}));
    } else if (cmd == "diag") {  // diag condition stride count values...
        std::string c;
        std::ptrdiff_t stride;
        std::size_t count;
        in >> c >> stride >> count;
        std::vector<double> buf(count);
        for (auto& v : buf) {
            std::string s;
            in >> s;
            v = number(s);
        }
        const std::size_t size = count == 0 ? 0 : (count - 1) / static_cast<std::size_t>(stride) + 1;
        auto d = stats::DiagnosticStats::compute(VecView{buf.data(), size, stride}, number(c));
        for (double v : {d.durbin_watson, d.jarque_bera, d.jarque_bera_p_value, d.omnibus, d.omnibus_p_value,
                         d.skewness, d.kurtosis, d.condition_number})
            print(v);
    } else if (cmd == "pvalue") {  // pvalue t df
        std::string t;
        std::uint64_t df;
        in >> t >> df;
        print(stats::p_value(number(t), df));
    } else if (cmd == "crit") {  // crit df alpha
        std::string a;
        std::uint64_t df;
        in >> df >> a;
        auto c = stats::critical_value(df, number(a));
        if (c) print(*c);
        else std::printf("%s", c.error().message.c_str());
    } else if (cmd == "header") {  // header r2 mse n p intercept
        std::string r2, mse;
        std::uint64_t n, p;
        int intercept;
        in >> r2 >> mse >> n >> p >> intercept;
        auto h = stats::header_statistics(maybe(r2), maybe(mse), n, p, intercept != 0);
        std::printf("%llu %llu %llu %llu ", (unsigned long long)h.n, (unsigned long long)h.p,
                    (unsigned long long)h.k, (unsigned long long)h.df);
        for (double v : {h.r_squared, h.adj_r_squared, h.f_statistic, h.f_p_value, h.log_likelihood, h.aic, h.bic})
            print(v);
    } else if (cmd == "phrase") {  // phrase dw|jb|cond value
        std::string which, v;
        in >> which >> v;
        const double x = number(v);
        std::printf("%s", which == "dw" ? stats::durbin_watson_phrase(x)
                          : which == "jb" ? stats::jarque_bera_phrase(x)
                                          : stats::condition_number_phrase(x));
    } else if (cmd == "summary") {
        // summary layout r2 mse intercept ise within n p fit_intercept m coefs... ses... diag(none|8 values)
        std::string name, r2, mse, b0, s0, w;
        std::uint64_t n, p;
        int fit_intercept;
        long m;
        in >> name >> r2 >> mse >> b0 >> s0 >> w >> n >> p >> fit_intercept >> m;
        std::optional<Vector> coefs, ses;
        if (m >= 0) {
            coefs.emplace(m);
            ses.emplace(m);
            for (auto& v : *coefs) { std::string s; in >> s; v = number(s); }
            for (auto& v : *ses) { std::string s; in >> s; v = number(s); }
        }
        stats::ReportInput input;
        input.r_squared = maybe(r2);
        input.mse = maybe(mse);
        input.intercept = maybe(b0);
        input.intercept_std_error = maybe(s0);
        input.within_r_squared = maybe(w);
        input.coefficients = coefs;
        input.standard_errors = ses;
        input.n_samples = n;
        input.n_features = p;
        input.fit_intercept = fit_intercept != 0;
        std::string first;
        in >> first;
        if (first != "none") {
            double v[8];
            v[0] = number(first);
            for (int i = 1; i < 8; ++i) { std::string s; in >> s; v[i] = number(s); }
            input.diagnostics = stats::DiagnosticStats{v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]};
        }
        auto text = stats::summary(layout_of(name), input);
        if (text) std::fputs(text->c_str(), stdout);
        else std::printf("%s\n", text.error().message.c_str());
        std::printf("<<END>>");
    } else if (cmd == "entity_means") {
        // entity_means k n chunks c_1 … c_chunks numbered ids… values… (n rows of k + 1, row-major):
        // EntitySums folded over each chunk of rows (chunk sizes c_i) and merged in order, or with
        // `numbered` 1 over all rows numbered beforehand. Prints G, then per entity: id, count,
        // and hi lo for each column.
        std::size_t k, n, chunks;
        int numbered;
        in >> k >> n >> chunks;
        std::vector<std::size_t> sizes(chunks);
        for (auto& c : sizes) in >> c;
        in >> numbered;
        std::vector<std::int64_t> ids(n);
        for (auto& v : ids) in >> v;
        std::vector<double> rows(n * (k + 1));
        for (auto& v : rows) {
            std::string s;
            in >> s;
            v = number(s);
        }
        const MatView x{rows.data(), n, k, static_cast<std::ptrdiff_t>(k + 1), 1};
        const VecView y{rows.data() + k, n, static_cast<std::ptrdiff_t>(k + 1)};
        const IdView idv{ids.data(), n, 1};
        const std::size_t w = k + 1;
        auto report = [&](const EntitySums& sums) {
            const std::vector<double> means = sums.means();
            std::printf("%zu ", sums.entities());
            for (std::size_t g = 0; g < sums.entities(); ++g) {
                std::printf("%lld %llu ", static_cast<long long>(sums.ids()[g]),
                            static_cast<unsigned long long>(sums.counts()[g]));
                for (std::size_t j = 0; j < w; ++j) {
                    print(means[g * 2 * w + j]);
                    print(means[g * 2 * w + w + j]);
                }
            }
        };
        if (numbered) {
            std::vector<std::uint32_t> codes(n);
            EntitySums sums(w, number_entities(idv, codes.data()));
            sums.add_numbered(x, y, codes.data(), 0, n);
            report(sums);
        } else {
            EntitySums total(w);
            std::size_t at = 0;
            for (const std::size_t c : sizes) {
                EntitySums part(w);
                part.add(x, y, idv, at, c);
                total.merge(part);
                at += c;
            }
            report(total);
        }
    } else {
        std::printf("unknown command %s", cmd.c_str());
    }
}

}  // namespace

int main() {
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        run(in);
        std::printf("\n");
        std::fflush(stdout);
    }
    return 0;
}
