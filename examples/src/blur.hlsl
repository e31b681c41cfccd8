// Nine-tap box blur of the scene colour.
Texture2D SceneColor : register(t0);
SamplerState LinearClamp : register(s0);

cbuffer BlurParams : register(b0) {
  float2 TexelSize;
};

float4 main(float2 uv : TEXCOORD0) : SV_Target {
  float4 sum = 0;
  [unroll] for (int y = -1; y <= 1; ++y) {
    [unroll] for (int x = -1; x <= 1; ++x) {
      sum += SceneColor.Sample(LinearClamp, uv + float2(x, y) * TexelSize);
    }
  }
  return sum / 9.0;
}
