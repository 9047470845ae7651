(function () {
  'use strict';
  var pop = document.getElementById('pop');
  if (!pop) return;

  var GAP = 8;
  var EDGE = 8;
  var MIN_HEIGHT = 120;

  // A stray "%" in an id must not stop the preview: fall back to the text as written.
  function targetOf(href) {
    var raw = href.charAt(0) === '#' ? href.slice(1) : href;
    var decoded = raw;
    try { decoded = decodeURIComponent(raw); } catch (e) { decoded = raw; }
    return document.getElementById(decoded) || document.getElementById(raw);
  }

  function place(link) {
    var r = link.getBoundingClientRect();
    var below = window.innerHeight - r.bottom - GAP - EDGE;
    var above = r.top - GAP - EDGE;
    var height = pop.offsetHeight;
    var goBelow = height <= below || below >= above;
    var room = goBelow ? below : above;
    if (height > room) {
      pop.style.maxHeight = Math.max(room, MIN_HEIGHT) + 'px';
      pop.classList.add('clip');
      height = pop.offsetHeight;
    }
    var right = window.innerWidth - pop.offsetWidth - 2 * EDGE;
    pop.style.left = Math.max(2 * EDGE, Math.min(r.left, right)) + 'px';
    pop.style.top = (goBelow ? r.bottom + GAP : r.top - GAP - height) + 'px';
  }

  function show(link) {
    var target = targetOf(link.getAttribute('href') || '');
    if (!target) return;
    pop.innerHTML = target.innerHTML;
    pop.style.maxHeight = '';
    pop.classList.remove('clip');
    pop.hidden = false;
    place(link);
  }

  function hide() {
    pop.hidden = true;
  }

  // Listened for once on the document, not on each of a large plan's
  // thousands of links: entering or leaving a link is a move over the page
  // whose target or destination lies inside it.
  function linkAt(node) {
    return node instanceof Element ? node.closest('a.m') : null;
  }

  document.addEventListener('mouseover', function (event) {
    var link = linkAt(event.target);
    if (link && linkAt(event.relatedTarget) !== link) show(link);
  });
  document.addEventListener('mouseout', function (event) {
    var link = linkAt(event.target);
    if (link && linkAt(event.relatedTarget) !== link) hide();
  });
  document.addEventListener('focusin', function (event) {
    var link = linkAt(event.target);
    if (link) show(link);
  });
  document.addEventListener('focusout', function (event) {
    if (linkAt(event.target)) hide();
  });
  document.addEventListener('click', function (event) {
    if (linkAt(event.target)) hide();
  });
  window.addEventListener('scroll', hide, { capture: true, passive: true });
})();
