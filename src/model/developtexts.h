#pragma once

// The fixed texts of the development prompt, character for character. The
// first begins with line breaks and ends with a space inside the literal,
// so each literal is closed on its last line and must not be reformatted.
namespace DevelopTexts {

// Follows the module name; the build check follows the last space.
inline constexpr char16_t tasks[] = uR"TEXT(.

## 할 일
1. 저장소 규칙을 먼저 본다: 루트의 CLAUDE.md·README, 같은 모듈의 비슷한 기능(같은 bazaar 수집 화면 등)의 구조·DI·네트워크·네비게이션 방식.
2. plan.md 8장 "플랫폼 대응표"의 파일 이름·경로대로 화면마다 파일을 만든다. 이동은 계획서 transitions 대로(넘기는 값·흐름 공유 상태 포함).
3. 모델·흐름 공유 상태(sharedIn)·API(요청·응답 필드, 에러 코드 처리)를 계획서대로 만든다. 기존 API 레이어 방식을 따른다.
4. 문구: 워드민트 키가 있으면 그 키로, 없으면 원문을 하드코딩하고 바로 옆에 `// TODO: 추후에 wordmint 적용` 주석.
5. 결정 필요의 decided 결과가 정답이다. 계획서에 없는 기능·화면은 만들지 않는다. 계획서와 기존 코드가 충돌하면 계획서를 따르되 답에 적는다.
6. 관계없는 파일은 고치지 않는다. git commit·push 는 하지 않는다.
7. 다 쓰면 한 번 확인한다: )TEXT";

// Follows the build check; ends the prompt.
inline constexpr char16_t answer[] = uR"TEXT(. 실패하면 고쳐서 최대 2번 더.

## 답 (한국어, 짧게)
- 만든·바꾼 파일 목록(경로)
- 계획서대로 못 한 것 / 남은 TODO
- 사람이 확인할 것(빌드 결과 포함))TEXT";

} // namespace DevelopTexts
