(function () {
  'use strict';
  // Pages opened from disk share one storage in some browsers: each page keeps its own.
  var GRAPH_KEY = 'quarrystone.graph:' + location.pathname;
  var XLINK = 'http://www.w3.org/1999/xlink';
  var handlers = window.webkit && window.webkit.messageHandlers;
  var zoomHandler = handlers && handlers.quarryZoom;

  // Graph links carry percent-encoded keys; a stray "%" falls back to the text as written.
  function decode(text) {
    try { return decodeURIComponent(text); } catch (e) { return text; }
  }

  function byRef(ref) {
    if (!ref) return null;
    return document.getElementById(decode(ref)) || document.getElementById(ref);
  }

  function hrefOf(link) {
    return link.getAttribute('href') || link.getAttributeNS(XLINK, 'href') || '';
  }

  function linkIn(event) {
    return event.target instanceof Element ? event.target.closest('a') : null;
  }

  function markOpen(card, open) {
    card.classList.toggle('closed', !open);
    var button = card.querySelector('.fold');
    if (button) button.setAttribute('aria-expanded', open ? 'true' : 'false');
  }

  // The resize lets the callout lines follow the new layout.
  function relayout() {
    window.dispatchEvent(new Event('resize'));
  }

  function setOpen(card, open) {
    markOpen(card, open);
    relayout();
  }

  // One listener for every card's title: thousands of cards would cost the
  // load thousands of lookups and listeners.
  document.addEventListener('click', function (event) {
    if (!(event.target instanceof Element) || linkIn(event)) return;
    var title = event.target.closest('.screen > .title');
    if (title) setOpen(title.parentElement, title.parentElement.classList.contains('closed'));
  });

  document.querySelectorAll('button[data-fold]').forEach(function (button) {
    button.addEventListener('click', function () {
      var open = button.getAttribute('data-fold') === 'open';
      document.querySelectorAll('.screen').forEach(function (card) { markOpen(card, open); });
      relayout();
    });
  });

  function openNamed(ref) {
    if (ref.indexOf('s-') !== 0) return;
    var card = byRef(ref);
    if (card && card.classList.contains('closed')) setOpen(card, true);
  }

  document.addEventListener('click', function (event) {
    var link = linkIn(event);
    if (!link) return;
    var href = hrefOf(link);
    if (href.indexOf('#s-') === 0) openNamed(href.slice(1));
  }, true);
  window.addEventListener('hashchange', function () {
    openNamed(location.hash.slice(1));
  });

  // A drawing cannot run across sheets: shrunk to one (the printable part of
  // an A4 sheet, the smaller of A4 and Letter, in CSS pixels) below a size
  // its words can be read at, it is left off the paper, and a line says
  // where the same moves are. This is settled once the drawing is made, not
  // just before printing: not every way of printing announces itself.
  var SHEET_WIDTH = 718;
  var SHEET_HEIGHT = 1000;
  var LEGIBLE = 0.6;

  function unreadableOnPaper(graphBox) {
    var svg = graphBox && graphBox.querySelector('svg');
    var view = svg && svg.viewBox && svg.viewBox.baseVal;
    if (!view || !view.width || !view.height) return false;
    return Math.min(1, SHEET_WIDTH / view.width, SHEET_HEIGHT / view.height) < LEGIBLE;
  }

  function judgePaper() {
    var graphBox = document.querySelector('.graph');
    if (!graphBox) return;
    var offPaper = unreadableOnPaper(graphBox);
    graphBox.classList.toggle('offpaper', offPaper);
    var note = graphBox.querySelector('.gpaper:not(.gundrawn)');
    if (offPaper && !note) {
      note = document.createElement('p');
      note.className = 'gpaper';
      note.textContent = '그래프는 종이 한 장에 읽을 수 있는 크기로 담기지 않아 싣지 않았어요. 그래프는 이 페이지를 브라우저로 열어 볼 수 있고, 화면 사이 이동은 화면별 상세에 있어요.';
      graphBox.insertBefore(note, graphBox.firstChild);
    } else if (!offPaper && note) {
      note.parentElement.removeChild(note);
    }
  }

  // Paper shows every strings block; those closed on screen close again after.
  var printed = [];
  window.addEventListener('beforeprint', function () {
    printed = Array.prototype.slice.call(document.querySelectorAll('details.strings:not([open])'));
    printed.forEach(function (details) { details.open = true; });
  });
  window.addEventListener('afterprint', function () {
    printed.forEach(function (details) { details.open = false; });
    printed = [];
  });

  var foldButton = document.getElementById('graph-fold');
  var graph = document.querySelector('.graph');

  if (foldButton && graph) {
    var setGraph = function (open) {
      graph.classList.toggle('closed', !open);
      foldButton.setAttribute('aria-expanded', open ? 'true' : 'false');
      foldButton.textContent = open ? '그래프 접기' : '그래프 펼치기';
      try { window.localStorage.setItem(GRAPH_KEY, open ? 'open' : 'closed'); } catch (e) { /* storage off: nothing is remembered */ }
    };
    var stored = null;
    try { stored = window.localStorage.getItem(GRAPH_KEY); } catch (e) { stored = null; }
    if (stored === 'closed') setGraph(false);
    foldButton.addEventListener('click', function () {
      setGraph(graph.classList.contains('closed'));
    });
  }

  if (!graph) return;
  // The graph's script asks again each time it has drawn.
  window.quarryPaper = judgePaper;
  judgePaper();

  if (zoomHandler) {
    // The application zooms its whole view; it is set back before the page moves.
    graph.addEventListener('click', function (event) {
      var link = linkIn(event);
      if (!link || !graph.contains(link)) return;
      var href = hrefOf(link);
      if (href.charAt(0) !== '#') return;
      event.preventDefault();
      zoomHandler.postMessage('reset');
      setTimeout(function () {
        if (location.hash !== '' && decode(location.hash) === decode(href)) {
          var target = byRef(href.slice(1));
          if (target) target.scrollIntoView({ block: 'start' });
        } else {
          location.hash = href;
        }
      }, 80);
    }, true);
    return;
  }

  var MIN_ZOOM = 1;
  var MAX_ZOOM = 4;
  var zoom = 1;
  var natural = null;
  var gestureStart = 1;

  function drawing() {
    return graph.querySelector('svg');
  }

  function sizeDrawing(svg) {
    svg.style.maxWidth = 'none';
    svg.style.width = natural.width * zoom + 'px';
    svg.style.height = natural.height * zoom + 'px';
  }

  function zoomTo(wanted, x, y) {
    var svg = drawing();
    if (!svg) return;
    var before = svg.getBoundingClientRect();
    if (!natural) {
      if (before.width === 0 || before.height === 0) return;
      natural = { width: before.width, height: before.height };
    }
    var next = Math.min(MAX_ZOOM, Math.max(MIN_ZOOM, wanted));
    if (!isFinite(next) || next === zoom) return;
    var pointX = (x - before.left) / zoom;
    var pointY = (y - before.top) / zoom;
    zoom = next;
    sizeDrawing(svg);
    var after = svg.getBoundingClientRect();
    graph.scrollLeft += after.left + pointX * zoom - x;
    window.scrollBy(0, after.top + pointY * zoom - y);
  }

  graph.addEventListener('wheel', function (event) {
    if (!event.ctrlKey) return;
    event.preventDefault();
    zoomTo(zoom * Math.exp(-event.deltaY * 0.01), event.clientX, event.clientY);
  }, { passive: false });

  graph.addEventListener('gesturestart', function (event) {
    event.preventDefault();
    gestureStart = zoom;
  });
  graph.addEventListener('gesturechange', function (event) {
    event.preventDefault();
    zoomTo(gestureStart * event.scale, event.clientX, event.clientY);
  });

  graph.addEventListener('click', function (event) {
    var link = linkIn(event);
    if (!link || !graph.contains(link) || zoom === 1) return;
    zoom = 1;
    var svg = drawing();
    if (svg && natural) sizeDrawing(svg);
    graph.scrollLeft = 0;
  }, true);
})();
