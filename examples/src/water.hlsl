// Water surface: two scrolling normal maps over a deep colour.
Texture2D NormalMap : register(t0);
SamplerState LinearWrap : register(s0);

cbuffer WaterParams : register(b0) {
  float Time;
  float3 DeepColor;
};

static const float WaveScale = 0.25;

float4 main(float2 uv : TEXCOORD0, float3 toEye : TEXCOORD1) : SV_Target {
  float3 n1 = NormalMap.Sample(LinearWrap, uv + Time * 0.02).xyz;
  float3 n2 = NormalMap.Sample(LinearWrap, uv * 1.7 - Time * 0.03).xyz;
  float3 normal = normalize((n1 + n2) * 2.0 - 2.0) * WaveScale;
  float fresnel = pow(1.0 - saturate(dot(normalize(toEye), normal)), 5.0);
  return float4(lerp(DeepColor, float3(1, 1, 1), fresnel), 1.0);
}
