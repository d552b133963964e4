#include "engine/gemm.h"

namespace orvane::engine {

torch::Tensor matmul_nt(const torch::Tensor& a, const torch::Tensor& b) {
  const int64_t m = a.size(0), n = b.size(0), k = a.size(1);
  TORCH_CHECK(b.size(1) == k, "matmul_nt: inner sizes differ (", k, " and ", b.size(1), ")");
  if (m == 0 || n == 0) return torch::zeros({m, n}, a.options());
  return torch::conv2d(a.reshape({m, k, 1, 1}), b.reshape({n, k, 1, 1})).view({m, n});
}

}  // namespace orvane::engine
