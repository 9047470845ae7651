(function () {
  'use strict';
  var LIBRARY = 'mermaid-library';
  var graph = document.querySelector('.graph');
  if (!graph) return;
  var askButton = document.getElementById('graph-draw');
  // A large graph waits for its button; a small one is drawn once the library is there.
  var wanted = !askButton;
  var library = 'waiting';

  var drawn = function () {
    if (askButton && askButton.parentElement) askButton.parentElement.hidden = true;
    if (typeof window.quarryAssets === 'function') window.quarryAssets();
  };

  // Set as soon as the library has run: left alone, it would draw every
  // graph itself at the load event, in its own colours, large ones too.
  function configure() {
    var rootStyle = getComputedStyle(document.documentElement);
    var token = function (name) { return rootStyle.getPropertyValue(name).trim(); };
    mermaid.initialize({
      startOnLoad: false,
      theme: 'base',
      securityLevel: 'loose',
      // Large plans (hundreds of screens, thousands of moves) must still draw.
      maxTextSize: 4000000,
      maxEdges: 20000,
      themeVariables: {
        fontFamily: getComputedStyle(document.body).fontFamily,
        fontSize: '14px',
        background: token('--surface'),
        primaryColor: token('--bg'),
        primaryTextColor: token('--fg'),
        primaryBorderColor: token('--line'),
        lineColor: token('--muted'),
        textColor: token('--fg'),
        edgeLabelBackground: token('--surface'),
        tertiaryColor: token('--surface')
      },
      flowchart: {
        htmlLabels: true,
        useMaxWidth: false,
        curve: 'basis',
        nodeSpacing: 30,
        rankSpacing: 38,
        padding: 10
      }
    });
  }

  function draw() {
    Promise.resolve(mermaid.run({ querySelector: '.mermaid' })).then(drawn, drawn);
  }

  // Offline, or with the library refused, the box keeps the graph's text and says why.
  function explain() {
    graph.removeAttribute('data-ask');
    if (askButton && askButton.parentElement) askButton.parentElement.hidden = true;
    if (graph.querySelector('.gnote')) return;
    var note = document.createElement('p');
    note.className = 'gnote';
    note.textContent = '그래프 그림을 불러오지 못했어요. 아래는 그 원문이고, 같은 이동은 화면별 상세에 있어요.';
    graph.insertBefore(note, graph.firstChild);
  }

  // Drawing holds the page for a while: it starts after the page has had
  // its chance to paint what it has.
  function start() {
    if (!wanted) return;
    if (library === 'failed') { explain(); return; }
    if (library !== 'ready') return;
    wanted = false;
    setTimeout(function () {
      try { draw(); } catch (e) { explain(); }
    }, 0);
  }

  function arrived() {
    try {
      configure();
      library = 'ready';
    } catch (e) {
      library = 'failed';
    }
  }

  function isLibrary(event) {
    return !!event.target && event.target.id === LIBRARY;
  }
  document.addEventListener('load', function (event) {
    if (!isLibrary(event)) return;
    if (typeof mermaid !== 'undefined') arrived(); else library = 'failed';
    start();
  }, true);
  document.addEventListener('error', function (event) {
    if (!isLibrary(event)) return;
    library = 'failed';
    start();
  }, true);

  if (askButton) {
    askButton.addEventListener('click', function () {
      askButton.disabled = true;
      askButton.textContent = '그리는 중…';
      graph.removeAttribute('data-ask');
      wanted = true;
      // Two frames: the button's new state is on screen before the drawing holds the page.
      var frame = window.requestAnimationFrame || function (fn) { setTimeout(fn, 16); };
      frame(function () { frame(start); });
    });
  }
  if (typeof mermaid !== 'undefined') arrived();
  start();
})();
