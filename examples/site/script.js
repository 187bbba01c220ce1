// Shows that scripts load from the archive and can change the page.
window.addEventListener("DOMContentLoaded", function () {
    var greeting = document.getElementById("greeting");
    if (greeting) {
        greeting.textContent = "Hello from script.js, loaded from the archive.";
        greeting.style.color = "#b8f2a0";
    }
});
