#pragma once

// The fixed texts of the two prompts, character for character: Claude's
// answers, the generator and the plan checks rely on their exact wording.
// Several begin with line breaks or end with a space inside the literal, so
// each literal is closed on its last line and nothing here may be
// reformatted or stripped of trailing white space (see .editorconfig).
namespace PromptTexts {

// The request list starts here; the feature prefix follows the last space.
inline constexpr char16_t draftIntro[] = uR"TEXT(너는 Brenix 앱 팀의 개발 계획서 작성자다. 피그마 섹션 하나를 보고 Android(brenix_android_v2)와 iOS(brenix_ios_v2)가
같이 기준으로 삼을 개발 계획서를 plan.json 하나로 만든다. 답은 ```json 블록 하나뿐이다.

## 입력
- 기능 접두어(feature): )TEXT";

// Follows the documents; the Android repository follows the last space.
inline constexpr char16_t draftTasks[] = uR"TEXT(

## 할 일
1. 이미지 경로가 있으면 Read 로 화면 이미지를 직접 본다(전부). 문구만으로 흐름을 정하지 않는다.
   위 "문구"·글자 노드 이름은 레이어 이름이라 실제 글자와 다를 수 있다. strings 의 한국어는 이미지에서 읽은 실제 글자를 쓴다.
2. 필요하면 저장소를 Grep/Glob 으로 짧게 본다(각 5번 이내). 예: 비슷한 기능의 기존 화면 이름, 카드 타입 문자열, 딥링크 형식.
   모듈이 정해지지 않았으면 비슷한 기능(같은 진입 카드·같은 화면 묶음)이 있는 모듈을 찾아 meta.module 을 채운다:
   android = presentation/{모듈} 의 모듈 이름, ios = Modules/Feature/{모듈}, iosGroup = 그 모듈 Page/ 아래 묶음 폴더, androidFeatureDir = 기능 접두어 소문자.
   찾지 못하면 android "bazaar" · ios "Bazaar" · iosGroup "Feed" 로 두고 decisions 에 "모듈 확인" 을 하나 남긴다.
   Android: )TEXT";

// The user name follows the closing quote.
inline constexpr char16_t draftRules[] = uR"TEXT(
3. 아래 스키마대로 plan.json 을 채운다.

## 작성 규칙
- 계획서는 "무엇을"만 적는다. 파일 구성, 아키텍처, 카메라·권한 구현, State 세부 필드, 로딩·에러 처리는 적지 않는다(플랫폼 메모에 기술 차이만 한 줄).
- 같은 화면의 AS-IS/TO-BE 가 있으면 TO-BE 를 계획서 화면으로 쓰고, AS-IS 는 차이를 이해하는 데만 쓴다. Delete 는 화면을 만들지 않는다(없어지는 사실은 규칙이나 결정에 남겨도 된다).
- OS 가 띄우는 화면(앨범 선택기 등)은 kind "system", 바텀시트는 "sheet", 팝업은 "dialog". 비슷한 팝업 여러 개는 dialog 하나로 묶고 rules 에 종류를 적는다.
- 화면 key(id)는 짧은 영어 소문자 camelCase (home, country, trim). name 은 feature + 영어 명사 1~2단어 PascalCase (HarborClipsTrim).
- 사용자 행동 id 는 {동사}{대상} camelCase: clickStart, clickDone, changeRange, selectCountry, clickBack. 버튼 누르기는 반드시 click 으로 시작.
- 모델 이름은 feature 로 시작한다(HarborClipsMission). 다음 화면이 알아야 하는 값을 거꾸로 따라가 args 와 모델 필드를 정한다. 필드마다 filledAt(채워지는 화면 key).
- 화면 사이에 값을 넘기는 방식은 값마다 아래 순서로 정한다(처음 맞는 것):
  1) 앱이 기기에서 만든 값(촬영 영상, 입력한 글) → 값 그대로 args/passes 로 넘긴다(다시 조회할 서버 원본이 없다).
  2) 받는 화면이 시작점(목록·푸시·딥링크로 진입, 프로세스 복원)이고 조회 API 가 있다 → id 만 넘기고(eventId: Long) 그 화면 serverData 에서 조회한다.
  3) 한 번에 이어지는 화면 묶음(촬영 → 편집 → 등록 → 완료) → 입구 화면이 한 번 조회해 "흐름 공유 상태" 모델에 담고,
     묶음 안 화면은 그 모델을 인자로 받지 않고 같이 읽는다. 그 모델의 sharedIn 에 묶음 화면 key 를 모두 적는다(이름은 feature + 흐름 이름 + State, 예 HarborClipsShootState).
     필드 filledAt 은 그 값을 채우는 화면. 묶음 안 화면의 args 는 비우거나, 그 화면만 쓰는 작은 값만.
  4) 제출·결제·한도처럼 결정 직전 확인할 값 → 넘긴 값을 믿지 말고 결정 직전에 다시 조회하거나 서버 검증에 맡긴다고 rules 에 적는다.
  조회 API 가 없는 서버 응답(제출 결과 등)은 받는 화면에 필요한 값만 넘긴다. 모델을 통째로 넘기는 건 위 규칙에 안 맞을 때만.
- 화면 밖 진입점은 transitions 에서 "@" 로 시작하는 이름을 쓴다 (예: "@dashboard"). 그 외 from/to/popUpTo 는 반드시 screens 의 id.
- transitions.kind: push | pop(뒤로 가기, 점선) | replace | sheet | dismiss. 이동하며 백스택에서 뺄 화면은 popUpTo.
- 문구는 피그마 원문 그대로 strings 에 화면별로 모은다(screens[].strings 는 빈 배열). 계획서 화면(screen·sheet·dialog)에 보이는 글자는 빠짐없이 넣는다.
  node 에는 그 글자의 TEXT 노드 id 를 넣는다. 위 "글자 노드" 목록의 위치와 이미지에서 그 글자가 있는 자리를 맞춰 고른다. 확실하지 않으면 "".
- 워드민트 키: 피그마에 워드민트 표시가 있으면(ac_ 로 시작하는 키 글자, "워드민트" 말풍선, 키·값 표 등) 그 키를 key 에 넣는다.
  글자 레이어·표로 적혀 있어 확실하면 source "figma", 이미지에서만 읽었으면 "inferred". 워드민트 표시가 없으면 key 는 "" — 키를 지어내지 않는다.
  (key 가 있으면 코드는 그 키로 적용, 없으면 원문 하드코딩 + `// TODO: 추후에 wordmint 적용` — 앱이 계획서에 적는다)
- source: 피그마에 그대로 있으면 "figma", 기획서에 적혀 있으면 "spec", API 문서에 적혀 있으면 "api", 네가 추론했으면 "inferred". 사람이 확정한 값은 "human" 인데 너는 쓰지 않는다.
- 기획서가 있으면 기획 의도·정책·예외 흐름의 근거로 쓴다:
  · 화면에 안 보이는 규칙(노출 조건, 제한 값, 실패·빈 상태, 진입 경로)을 rules·condition 에 source "spec" 으로 적는다. 추론으로 채우던 자리를 기획서로 바꾼다.
  · 화면 모양·문구는 피그마가 기준이다(디자인이 더 최신인 경우가 많다). 기획서와 피그마가 다르면 decisions 에 둘을 options 로 남긴다.
  · API·필드 이름은 API 문서가 기준이다. 기획서에만 있는 화면은 만들지 않고, 필요해 보이면 decisions 에 남긴다.
- API 문서가 있으면 문서가 정답이다:
  · apis 는 문서의 엔드포인트로 채운다. id 는 짧은 camelCase(getEvents, getEventDetail, validateCaption, checkVideoHash, createUploadSession, submitVideo 처럼),
    purpose 는 한 줄, request 는 "METHOD /경로 + 필수 파라미터" 한 줄, response 는 주요 필드 한 줄, usedBy 는 그 API 를 부르는 화면, status 는 "exists", source "api".
    method("GET" 등)·path(문서 경로 그대로)도 채운다.
    requestFields 는 path·query·body 파라미터마다 { name(문서 이름 그대로), type(문서 표기), required, desc(한 줄), in("path"|"query"|"body"|"header") }.
    responseFields 는 응답 최상위 필드마다 같은 모양(in 없음). 배열·객체 안 필드는 "list[].event_id" 처럼 점으로 적되 앱이 쓰는 것만, 최대 25개.
    응답이 공통 모델 하나로 담기면 responseModel 에 그 모델 이름, 필드 type 에도 모델 이름을 쓸 수 있다(예: "HarborClipsCategory[]").
    문서가 "기존과 동일"이라며 필드를 안 적은 API 는 필드를 비우고 response 한 줄로만 적는다.
    screens[].serverData 도 같은 id 로 맞춘다. 문서에 없는데 화면에 필요한 API 만 status "needed" 로 남긴다.
  · models 필드는 응답 필드 이름에 맞춘다(camelCase 로 바꾸되 뜻은 그대로). 문서 필드면 source "api", apiAligned true.
  · 문서에 정책 값(길이·해상도·글자 수·방향 등)·에러 코드가 있으면 rules 에 그 값과 코드로 적는다(source "api"). 하드코딩하지 말고 응답 값을 쓰라고 적는다.
  · 문서에 워드민트 키가 있는 문구(앱 고정 워드민트, 서버가 키로 내려주는 문구)는 strings[].key 에 그 키, source "api". 서버가 키를 내려주는 문구는 ko 를 화면 예시 값으로 둔다.
  · 문서로 답이 나오는 결정 필요 항목은 만들지 않는다. 피그마와 문서가 다르면 decisions 에 올린다.
- 피그마만으로 정해지지 않는 것(연결선 없는 이동 순서, 화면마다 다른 숫자·금액, 닫기 버튼 유무, 완료 후 버튼이 가는 곳, 조건 분기 기준 등)은
  추측으로 채우지 말고 decisions 에 올린다. 질문·맥락·관련 화면·선택지 2개 이상·제안. id 는 D1, D2… status 는 "open".
  그래도 흐름이 끊기지 않게 transitions 에는 제안안을 넣고 source "inferred" 로 둔다.
- naming.rules 에는 같은 피그마로 다른 사람이 만들어도 같은 이름이 나오게 네가 이름을 정한 규칙을 3~6줄 적는다.
- naming.platformMap 은 비워 둔다(앱이 규칙 파일로 계산한다).
- meta.createdBy ")TEXT";

// Between the creation time and the conventions JSON.
inline constexpr char16_t draftConventionsHead[] = uR"TEXT(", meta.stage "before-dev".
- screens[].image.before 는 해당 프레임 이미지의 계획서 폴더 기준 상대 경로(img/node-….png). 없으면 null.

## 플랫폼 이름 규칙 (참고용. 너는 공통 이름만 정하면 된다)
```json
)TEXT";

// The plan example, inside a jsonc fence.
inline constexpr char16_t draftSchema[] = uR"TEXT({
  "schemaVersion": 1,
  "meta": {
    "feature": "HarborClips", "title": "항구 클립 모음", "summary": "한두 문장 요약",
    "module": { "android": "bazaar", "androidFeatureDir": "harborclipscollect", "ios": "Bazaar", "iosGroup": "Feed" },
    "figma": { "fileKey": "...", "nodeId": "17695:21085", "url": "https://..." },
    "entry": { "cardType": "HARBOR_CLIPS_COLLECTION", "deeplink": "brenix://bazaar/harbor-clips-collect/{feed_card_id}" },
    "stage": "before-dev", "createdBy": "...", "createdAt": "ISO8601"
  },
  "screens": [{
    "id": "trim", "name": "HarborClipsTrim", "title": "구간 편집",
    "figmaNodes": ["17695:22104"], "figmaLabel": "New",
    "image": { "before": "img/node-17695-22104.png", "android": null, "ios": null },
    "kind": "screen",
    "condition": { "text": "30초 초과일 때만", "source": "inferred" },
    "args": [],
    "serverData": [],
    "actions": [{ "id": "changeRange", "label": "구간 핸들 드래그", "source": "figma" }, { "id": "clickDone", "label": "✓", "source": "figma" }],
    "rules": [{ "text": "10~30초 구간만 선택", "source": "figma" }],
    "strings": [],
    "platformNotes": { "android": "MediaExtractor+MediaMuxer", "ios": "AVAssetExportSession" },
    "inferredFields": ["condition"]
  }],
  "transitions": [{
    "from": "trim", "to": "register", "trigger": "clickDone", "condition": null,
    "passes": [], "kind": "push", "popUpTo": null, "source": "inferred"
  }],
  "models": [{ "name": "HarborClipsClip", "apiAligned": false,
    "fields": [{ "name": "uri", "type": "String", "filledAt": "camera", "source": "inferred" }] },
    { "name": "HarborClipsShootState", "apiAligned": false, "sharedIn": ["guide", "camera", "trim", "register"],
      "fields": [{ "name": "detail", "type": "HarborClipsMission", "filledAt": "guide", "source": "inferred" },
                 { "name": "clip", "type": "HarborClipsClip?", "filledAt": "camera", "source": "inferred" }] }],
  "apis": [{ "id": "getMission", "purpose": "미션 정보", "usedBy": ["home"], "request": "feed_card_id", "response": "HarborClipsMission", "status": "needed",
             "method": "GET", "path": "/api/1.3/bazaar/…", "requestFields": [{ "name": "feed_card_id", "type": "number", "required": true, "desc": "피드카드 ID", "in": "query" }],
             "responseFields": [{ "name": "max_point", "type": "number", "required": true, "desc": "최대 포인트" }], "responseModel": "HarborClipsMission", "source": "api" }],
  "strings": [{ "key": "", "ko": "촬영 시작", "screen": "guide", "node": "17695:22311", "source": "figma" }],
  "decisions": [{
    "id": "D1", "question": "30초 넘는 영상을 구간 편집으로 보낼까?", "context": "피그마에 촬영→구간 편집 연결선이 없음",
    "screens": ["camera", "trim"], "options": ["구간 편집으로 보냄", "업로드 막고 팝업"], "proposal": "구간 편집으로 보냄",
    "status": "open", "result": null, "decidedBy": null, "decidedAt": null
  }],
  "naming": { "rules": ["..."], "platformMap": {} }
})TEXT";

// The user name follows.
inline constexpr char16_t reviseIntro[] = uR"TEXT(너는 Brenix 앱 팀의 개발 계획서 편집자다. 이 폴더의 plan.json(Android·iOS 공통 개발 계획서)을 아래 요청대로 고친다.

## 요청 ()TEXT";

// The user name follows the closing quote.
inline constexpr char16_t reviseSteps[] = uR"TEXT(
## 하는 법
1. plan.json 을 Read 로 읽는다. 필요하면 spec-docs/·api-docs/ 의 문서, img/ 의 화면 그림, 추가된 저장소를 참고한다.
2. Edit 로 plan.json 을 **제자리에서** 고친다(Write 로 통째로 다시 쓰지 않는다). JSON 이 깨지지 않게 한다.
3. 요청에 필요한 곳 + 그와 바로 이어진 곳만 고친다. 예: 화면을 빼면 그 화면으로 가는 transitions·actions·apis.usedBy·models.sharedIn·decisions.screens 도 맞춘다.
   이동을 바꾸면 from 화면 actions 의 id 와 transitions.trigger 를 맞춘다.
4. 요청이 모호하거나 계획서로 할 수 없는 일이면 고치지 말고 "고치지 않음: 이유" 한 줄만 답한다.
5. 요청에 Wiki(Confluence) 주소가 있으면 Atlassian 도구로 그 페이지를 읽는다(cloudId 가 필요하면 URL 호스트). 기획서면 정책·조건·예외 흐름을
   source "spec" 으로, API 문서면 apis(method·path·requestFields·responseFields·responseModel·status "exists")·응답 모델·에러 코드 규칙을 source "api" 로 맞춘다.
   이미 있는 내용과 다르면 문서대로 고치되, source "human" 인 값과 decided 결정은 그대로 두고 다른 점을 decisions 에 남긴다.

## 지킬 것
- 요청으로 사람이 정한 값은 source "human". 이미 source "human" 인 값과 status "decided" 결정은 요청이 그것을 콕 집지 않으면 바꾸지 않는다.
- 결정을 정하라는 요청이면 그 decision 에 status "decided", result(정한 내용), decidedBy ")TEXT";

// Follows the decision time; ends the prompt.
inline constexpr char16_t reviseRules[] = uR"TEXT(" 를 넣고,
  결정에 따라 화면·이동·규칙도 고친다. 새 미결정이 생기면 decisions 에 "D번호" 로 추가한다(status "open").
- 이름: 화면 id 는 영어 소문자 camelCase, name 은 meta.feature + PascalCase, 행동 id 는 {동사}{대상}(버튼은 click…), 모델 이름은 feature 로 시작.
- transitions.kind: push | pop | replace | sheet | dismiss. 화면 밖은 "@이름". 값 넘기기: 앱이 만든 값은 값 그대로, 시작점은 id + 그 화면에서 조회,
  이어진 화면 묶음은 sharedIn 이 있는 흐름 공유 모델, 결정 직전 값은 다시 조회·서버 검증.
- source 값: figma | spec | api | inferred | human.
- 건드리지 않는 칸: screens[].image, strings[].node·frame·box, naming.platformMap, meta.figma (앱이 다시 채운다).

## 답
고쳤으면 무엇을 고쳤는지 한국어로 1~5줄("- " 로 시작)만 답한다. 다른 설명은 쓰지 않는다.)TEXT";

} // namespace PromptTexts
